// Single-packet transfers on the command and reply pipes. Each transfer has its own request
// block; the packet buffers belong to the caller.
#include "usb/command_packets.h"

#include "usb/pipe_recovery.h"
#include "usb/pipes.h"
#include "usb/urb_submit.h"

NTSTATUS PipeTransfer(DeviceContext* context, ULONG index, PUCHAR packet, ULONG* moved) {
    *moved = 0;
    UsbDevice* usb = &context->Usb;
    const USBD_PIPE_INFORMATION* pipe = nullptr;
    NTSTATUS status = FindTransferPipe(usb, index, &pipe);
    if (!NT_SUCCESS(status))
        return status;
    if (pipe->MaximumTransferSize < kPacketSize)
        return STATUS_INVALID_PARAMETER;

    PURB urb = AllocateBulkTransfer(pipe, packet, nullptr, kPacketSize);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = SubmitUrb(usb, urb);
    USBD_STATUS usbdStatus = urb->UrbHeader.Status;
    if (NT_SUCCESS(status)) {
        if (USBD_ERROR(usbdStatus)) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            ULONG reported = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            *moved = reported < kPacketSize ? reported : kPacketSize;
        }
    }
    FreeUrb(urb);
    // A transfer error halts the endpoint, and every later packet on the pipe would fail with
    // it: the pipe is reset now that this transfer is no longer queued on it. A reset the bus
    // refuses (another exchange's transfer still pending) leaves the halt for the next failure.
    if (IsHaltStatus(usbdStatus))
        ResetPipe(usb, pipe->PipeHandle);
    return status;
}

BOOLEAN SendPacket(DeviceContext* context, PUCHAR packet) {
    ULONG moved = 0;
    NTSTATUS status = PipeTransfer(context, kCommandPipe, packet, &moved);
    return NT_SUCCESS(status) && moved == kPacketSize;
}

BOOLEAN ReceivePacket(DeviceContext* context, PUCHAR packet) {
    ULONG moved = 0;
    NTSTATUS status = PipeTransfer(context, kReplyPipe, packet, &moved);
    return NT_SUCCESS(status) && moved == kPacketSize;
}

void StreamControl(DeviceContext* context, BOOLEAN on) {
    UsbDevice* usb = &context->Usb;
    const USBD_INTERFACE_INFORMATION* info = usb->InterfaceInfo;
    if (!info || info->NumberOfPipes == 0 || !info->Pipes[kCommandPipe].PipeHandle)
        return;

    context->StreamCommandPacket[0] = on ? kCommandStreamOn : kCommandStreamOff;
    PURB urb = AllocateBulkTransfer(&info->Pipes[kCommandPipe], context->StreamCommandPacket,
                                    nullptr, kPacketSize);
    if (!urb)
        return;
    SubmitUrb(usb, urb);
    FreeUrb(urb);
}
