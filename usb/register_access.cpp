// Command and query exchanges, and the sensor register write with its settling pause, each
// one whole under the device's CommandLock.
#include "usb/register_access.h"

#include "usb/command_packets.h"

namespace {

// A synchronization event used as a lock. Normal kernel APCs stay off while it is held, so
// the holder cannot be suspended with every other exchange of the device waiting behind it.
void AcquireCommandLock(DeviceContext* context) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&context->CommandLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseCommandLock(DeviceContext* context) {
    KeSetEvent(&context->CommandLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

BOOLEAN SendCommandLocked(DeviceContext* context, const UCHAR* bytes, ULONG count) {
    memset(context->CommandPacket, 0, sizeof(context->CommandPacket));
    if (count > kPacketSize)
        count = kPacketSize;
    if (count > 0)
        memcpy(context->CommandPacket, bytes, count);
    return SendPacket(context, context->CommandPacket);
}

}  // namespace

BOOLEAN SendCommand(DeviceContext* context, const UCHAR* bytes, ULONG count) {
    AcquireCommandLock(context);
    BOOLEAN sent = SendCommandLocked(context, bytes, count);
    ReleaseCommandLock(context);
    return sent;
}

BOOLEAN SendOwnPacket(DeviceContext* context, const UCHAR* bytes, ULONG count) {
    UCHAR packet[kPacketSize];
    memset(packet, 0, sizeof(packet));
    if (count > kPacketSize)
        count = kPacketSize;
    if (count > 0)
        memcpy(packet, bytes, count);
    AcquireCommandLock(context);
    BOOLEAN sent = SendPacket(context, packet);
    ReleaseCommandLock(context);
    return sent;
}

BOOLEAN QueryCommand(DeviceContext* context, const UCHAR* bytes, ULONG count, UCHAR* answer) {
    AcquireCommandLock(context);
    // The camera answers every query with two packets; only the second carries the answer.
    BOOLEAN answered = SendCommandLocked(context, bytes, count) &&
                       ReceivePacket(context, context->CommandPacket) &&
                       ReceivePacket(context, context->CommandPacket);
    if (answered)
        *answer = context->CommandPacket[0];
    ReleaseCommandLock(context);
    return answered;
}

BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, ULONG value) {
    const UCHAR bytes[] = {
        kCommandWriteSensorRegister, 0x20,         UCHAR(reg >> 8), UCHAR(reg),
        UCHAR(value >> 8),           UCHAR(value),
    };
    AcquireCommandLock(context);
    BOOLEAN sent = SendCommandLocked(context, bytes, sizeof(bytes));
    if (sent) {
        // The sensor needs a moment to take the value before the next write.
        LARGE_INTEGER pause;
        pause.QuadPart = -200;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        if (reg < kRegisterShadowSize)
            context->RegisterShadow[reg] = value;
    }
    ReleaseCommandLock(context);
    return sent;
}
