// Command and query exchanges, and the sensor register write with its settling pause.
#include "usb/register_access.h"

#include "usb/command_packets.h"

BOOLEAN SendCommand(DeviceContext* context, const UCHAR* bytes, ULONG count) {
    memset(context->CommandPacket, 0, sizeof(context->CommandPacket));
    if (count > kPacketSize)
        count = kPacketSize;
    if (count > 0)
        memcpy(context->CommandPacket, bytes, count);
    return SendPacket(context, context->CommandPacket);
}

BOOLEAN QueryCommand(DeviceContext* context, const UCHAR* bytes, ULONG count, UCHAR* answer) {
    if (!SendCommand(context, bytes, count))
        return FALSE;
    // The camera answers every query with two packets; only the second carries the answer.
    if (!ReceivePacket(context, context->CommandPacket))
        return FALSE;
    if (!ReceivePacket(context, context->CommandPacket))
        return FALSE;
    *answer = context->CommandPacket[0];
    return TRUE;
}

BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, ULONG value) {
    const UCHAR bytes[] = {
        kCommandWriteSensorRegister, 0x20,         UCHAR(reg >> 8), UCHAR(reg),
        UCHAR(value >> 8),           UCHAR(value),
    };
    if (!SendCommand(context, bytes, sizeof(bytes)))
        return FALSE;

    // The sensor needs a moment to take the value before the next write.
    LARGE_INTEGER pause;
    pause.QuadPart = -200;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    if (reg < kRegisterShadowSize)
        context->RegisterShadow[reg] = value;
    return TRUE;
}
