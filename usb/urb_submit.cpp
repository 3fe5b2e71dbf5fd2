// Every synchronous exchange with the bus driver goes through here: an internal device-control
// request built by the I/O manager, completed by the bus driver now or later on its own thread.
#include "usb/urb_submit.h"

NTSTATUS CallBusDriver(UsbDevice* usb, ULONG ioControlCode, PVOID argument) {
    KEVENT completed;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    memset(&ioStatus, 0, sizeof(ioStatus));

    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, usb->NextDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &completed, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;

    NTSTATUS status = IofCallDriver(usb->NextDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS SubmitUrb(UsbDevice* usb, PURB urb) {
    return CallBusDriver(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}
