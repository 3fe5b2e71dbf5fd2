#include "tests/sim/usb_client.h"

#include <gtest/gtest.h>

NTSTATUS UsbClient::Call(ULONG ioControlCode, PVOID argument, NTSTATUS* returned) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, Device(), nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IofCallDriver(Device(), irp);
    if (returned)
        *returned = status;
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS UsbClient::Descriptor(UCHAR type, ULONG length, std::vector<UCHAR>* out, UCHAR index) {
    URB urb{};
    out->assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 0, out->data(), nullptr, length, nullptr);
    NTSTATUS status = Submit(&urb);
    out->resize(NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
    return status;
}

NTSTATUS UsbClient::Configure(ConfiguredPipes* out) {
    std::vector<UCHAR> head;
    NTSTATUS status = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &head);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<UCHAR> whole;
    status = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, head[2] | head[3] << 8, &whole);
    if (!NT_SUCCESS(status))
        return status;
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(configuration->bNumInterfaces + 1);
    size_t found = 0;
    for (LONG number = 0; number < 256 && found < configuration->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, number, 0, -1, -1, -1);
        if (d)
            list[found++].InterfaceDescriptor = d;
    }
    list.resize(found + 1);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = Submit(urb);
    pipes_ = ConfiguredPipes();
    if (NT_SUCCESS(status) && found > 0) {
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
            pipes_.pipes.push_back(list[0].Interface->Pipes[i]);
        }
        for (size_t i = 0; i < found; ++i) {
            pipes_.interfaceNumbers.push_back(list[i].Interface->InterfaceNumber);
        }
    }
    ExFreePool(urb);
    if (out)
        *out = pipes_;
    return status;
}

NTSTATUS UsbClient::Deconfigure() {
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    return Submit(&urb);
}

NTSTATUS UsbClient::Transfer(ULONG index, void* buffer, ULONG length, ULONG* moved,
                             USBD_STATUS* usbdStatus) {
    URB urb{};
    const USBD_PIPE_INFORMATION& pipe = pipes_.pipes.at(index);
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (USBD_PIPE_DIRECTION_IN(&pipe))
        flags |= USBD_TRANSFER_DIRECTION_IN;
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe.PipeHandle, buffer, nullptr, length, flags,
                                           nullptr);
    NTSTATUS status = Submit(&urb);
    if (moved)
        *moved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (usbdStatus)
        *usbdStatus = urb.UrbHeader.Status;
    return status;
}

NTSTATUS UsbClient::PipeRequest(USHORT function, ULONG index) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipes_.pipes.at(index).PipeHandle;
    return Submit(&urb);
}

AsyncRead::AsyncRead(UsbClient* client, ULONG index, ULONG length)
    : buffer(length, 0xEE), client_(client) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(client->Device()->StackSize, FALSE);
    const USBD_PIPE_INFORMATION& pipe = client->Pipes().pipes.at(index);
    UsbBuildInterruptOrBulkTransferRequest(
        &urb_, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe.PipeHandle, buffer.data(),
        nullptr, length, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN, nullptr);
}

AsyncRead::~AsyncRead() {
    if (started_ && !Done()) {
        IoCancelIrp(irp_);
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp_);
}

NTSTATUS AsyncRead::Start() {
    started_ = true;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb_;
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    return IofCallDriver(client_->Device(), irp_);
}

bool AsyncRead::Wait(int milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * milliseconds;
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

NTSTATUS NTAPI AsyncRead::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<AsyncRead*>(context);
    self->status = irp->IoStatus.Status;
    self->usbdStatus = self->urb_.UrbHeader.Status;
    self->moved = self->urb_.UrbBulkOrInterruptTransfer.TransferBufferLength;
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::unique_ptr<sim::Camera> MakeCamera(sim::CameraOptions options) {
    std::string error;
    auto camera = sim::Camera::Create(options, &error);
    EXPECT_NE(camera, nullptr) << error;
    return camera;
}

std::vector<UCHAR> Packet(std::initializer_list<UCHAR> bytes) {
    std::vector<UCHAR> p(bytes);
    p.resize(64, 0);
    return p;
}
