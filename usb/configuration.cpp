// Descriptor reads and configuration selection. Everything the camera reports here is
// untrusted: lengths are checked against what actually arrived, the interface search is
// bounded by the 8-bit interface numbers, and the recorded pipe count never exceeds the pipes
// the record holds.
#include "usb/configuration.h"

#include "driver/pool_tags.h"
#include "usb/urb_submit.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigurationHeadLength = 9;
constexpr LONG kLastInterfaceNumber = 255;

PVOID AllocateUsb(size_t size) {
    return ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb);
}

void FreeUsb(PVOID p) {
    if (p)
        ExFreePoolWithTag(p, kTagUsb);
}

PURB AllocateDescriptorRequest() {
    return static_cast<PURB>(AllocateUsb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
}

// Reads descriptor `type`, index 0, into `buffer`; `moved` receives the bytes the bus driver
// reports, never more than were asked for.
NTSTATUS ReadDescriptor(UsbDevice* usb, PURB urb, UCHAR type, PVOID buffer, ULONG length,
                        ULONG* moved) {
    constexpr size_t size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    memset(urb, 0, size);
    auto& request = urb->UrbControlDescriptorRequest;
    request.Hdr.Length = USHORT(size);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBufferLength = length;
    request.TransferBuffer = buffer;
    request.TransferBufferMDL = nullptr;
    request.Index = 0;
    request.DescriptorType = type;
    request.LanguageId = 0;
    request.UrbLink = nullptr;
    NTSTATUS status = SubmitUrb(usb, urb);
    ULONG reported = request.TransferBufferLength;
    *moved = reported < length ? reported : length;
    return status;
}

NTSTATUS ReadDeviceDescriptor(UsbDevice* usb) {
    PURB urb = AllocateDescriptorRequest();
    PVOID descriptor = AllocateUsb(kDeviceDescriptorLength);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb && descriptor) {
        ULONG moved = 0;
        // Read to learn that the device answers; its contents are of no use to this driver.
        status = ReadDescriptor(usb, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                                kDeviceDescriptorLength, &moved);
    }
    FreeUsb(descriptor);
    FreeUsb(urb);
    return status;
}

// Reads the whole configuration descriptor: its head for wTotalLength, then exactly that many
// bytes. A descriptor shorter than its own head, or one that arrives shorter than it claims,
// is refused, so that nothing later parses bytes the device never sent.
NTSTATUS ReadConfigurationDescriptor(UsbDevice* usb, PUSB_CONFIGURATION_DESCRIPTOR* result) {
    *result = nullptr;
    PURB urb = AllocateDescriptorRequest();
    auto* head = static_cast<PUCHAR>(AllocateUsb(kConfigurationHeadLength));
    if (!urb || !head) {
        FreeUsb(head);
        FreeUsb(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG moved = 0;
    NTSTATUS status = ReadDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, head,
                                     kConfigurationHeadLength, &moved);
    if (NT_SUCCESS(status) && moved < kConfigurationHeadLength)
        status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
        FreeUsb(head);
        FreeUsb(urb);
        return status;
    }

    ULONG total = ULONG(head[2]) | ULONG(head[3]) << 8;
    FreeUsb(head);
    if (total < kConfigurationHeadLength) {
        FreeUsb(urb);
        return STATUS_UNSUCCESSFUL;
    }
    auto* descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateUsb(total));
    if (!descriptor) {
        FreeUsb(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(descriptor, 0, total);
    status = ReadDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, total, &moved);
    if (NT_SUCCESS(status) && moved < total)
        status = STATUS_UNSUCCESSFUL;
    // The parser walks the descriptor up to its own wTotalLength: it must not claim more than
    // the buffer that was sized by the first read.
    if (NT_SUCCESS(status) && descriptor->wTotalLength > total)
        status = STATUS_UNSUCCESSFUL;
    FreeUsb(urb);
    if (!NT_SUCCESS(status)) {
        FreeUsb(descriptor);
        return status;
    }
    *result = descriptor;
    return STATUS_SUCCESS;
}

// Records a copy of the selected first interface. The copy's pipe count is limited to the
// pipes its own Length can hold, so every later pipe lookup stays inside it.
NTSTATUS RecordInterface(UsbDevice* usb, const USBD_INTERFACE_INFORMATION* selected) {
    constexpr ULONG header = ULONG(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
    ULONG length = selected->Length;
    if (length < header)
        return STATUS_UNSUCCESSFUL;
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateUsb(length));
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(copy, selected, length);
    ULONG room = (length - header) / ULONG(sizeof(USBD_PIPE_INFORMATION));
    if (copy->NumberOfPipes > room)
        copy->NumberOfPipes = room;
    usb->InterfaceInfo = copy;

    if (copy->NumberOfPipes > 0) {
        auto* pending = static_cast<PUCHAR>(AllocateUsb(copy->NumberOfPipes));
        if (!pending)
            return STATUS_INSUFFICIENT_RESOURCES;
        memset(pending, 0, copy->NumberOfPipes);
        usb->PipePending = pending;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SelectConfiguration(UsbDevice* usb) {
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = usb->ConfigurationDescriptor;
    if (!descriptor)
        return STATUS_UNSUCCESSFUL;
    ULONG declared = descriptor->bNumInterfaces;
    // A configuration without an interface has no pipes to carry the camera's traffic.
    if (declared == 0)
        return STATUS_UNSUCCESSFUL;

    size_t listSize = (declared + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateUsb(listSize));
    if (!list)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(list, 0, listSize);

    // Interface numbers need not be contiguous, and the declared count may exceed what the
    // descriptor holds: search every 8-bit number at most, then go on with those found.
    ULONG found = 0;
    for (LONG number = 0; number <= kLastInterfaceNumber && found < declared; ++number) {
        PUSB_INTERFACE_DESCRIPTOR entry =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (entry)
            list[found++].InterfaceDescriptor = entry;
    }
    if (found == 0) {
        FreeUsb(list);
        return STATUS_UNSUCCESSFUL;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (!urb) {
        FreeUsb(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
        first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    }

    NTSTATUS status = SubmitUrb(usb, urb);
    if (NT_SUCCESS(status))
        status = RecordInterface(usb, first);
    FreeUsb(list);
    ExFreePool(urb);
    return status;
}

NTSTATUS ConfigureDevice(UsbDevice* usb) {
    NTSTATUS status = ReadDeviceDescriptor(usb);
    if (!NT_SUCCESS(status))
        return status;

    PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
    status = ReadConfigurationDescriptor(usb, &descriptor);
    if (!NT_SUCCESS(status))
        return status;
    usb->ConfigurationDescriptor = descriptor;

    status = SelectConfiguration(usb);
    // A failed start is followed by removal, not by Stop: keep nothing of a failed
    // configuration, or it would never be freed.
    if (!NT_SUCCESS(status))
        FreeConfiguration(usb);
    return status;
}

NTSTATUS UnconfigureDevice(UsbDevice* usb) {
    constexpr size_t size = sizeof(struct _URB_SELECT_CONFIGURATION);
    auto* urb = static_cast<PURB>(AllocateUsb(size));
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(urb, 0, size);
    urb->UrbSelectConfiguration.Hdr.Length = USHORT(size);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    NTSTATUS status = SubmitUrb(usb, urb);
    FreeUsb(urb);
    return status;
}

void FreeConfiguration(UsbDevice* usb) {
    FreeUsb(usb->PipePending);
    usb->PipePending = nullptr;
    FreeUsb(usb->InterfaceInfo);
    usb->InterfaceInfo = nullptr;
    FreeUsb(usb->ConfigurationDescriptor);
    usb->ConfigurationDescriptor = nullptr;
}
