// Recovery requests of the transport. None of them is issued in normal streaming: they run on
// capture stop and after the bus driver refused a frame transfer.
#include "usb/pipe_recovery.h"

#include "usb/pipes.h"
#include "usb/urb_submit.h"

void AbortPipes(DeviceContext* context) {
    UsbDevice* usb = &context->Usb;
    const USBD_INTERFACE_INFORMATION* info = usb->InterfaceInfo;
    if (!info || !usb->PipePending)
        return;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (!usb->PipePending[i])
            continue;
        PURB urb = AllocatePipeRequest(URB_FUNCTION_ABORT_PIPE, info->Pipes[i].PipeHandle);
        if (!urb)
            return;
        NTSTATUS status = SubmitUrb(usb, urb);
        FreeUrb(urb);
        if (NT_SUCCESS(status))
            usb->PipePending[i] = 0;
    }
}

NTSTATUS ResetPipe(UsbDevice* usb, USBD_PIPE_HANDLE handle) {
    PURB urb = AllocatePipeRequest(URB_FUNCTION_RESET_PIPE, handle);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SubmitUrb(usb, urb);
    FreeUrb(urb);
    return status;
}

NTSTATUS ResetPortIfDisabled(UsbDevice* usb) {
    ULONG portStatus = 0;
    NTSTATUS status = CallBusDriver(usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status))
        return status;
    if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED))
        return status;
    return CallBusDriver(usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
