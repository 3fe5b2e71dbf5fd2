// The two USBD library routines the driver calls: finding an interface descriptor in a
// configuration descriptor, and building the select-configuration request for a list of
// interfaces. The request comes from the pool, as USBD allocates it, and its caller frees it
// with ExFreePool.
#include <cstring>

#include "platform/host/host_control.h"

namespace {

// What USBD puts in MaximumTransferSize before the caller chooses its own: one page.
constexpr ULONG kDefaultMaximumTransferSize = PAGE_SIZE;

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || LONG(actual) == wanted;
}

}  // namespace

extern "C" {

// Walks the descriptors from StartPosition to the end the configuration declares
// (wTotalLength), one bLength at a time; a zero bLength or a descriptor running past the end
// ends the walk, so a malformed descriptor cannot loop or read past its buffer.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID startPosition, LONG interfaceNumber,
    LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol) {
    if (!configuration || !startPosition)
        return nullptr;
    auto* base = reinterpret_cast<PUCHAR>(configuration);
    PUCHAR end = base + configuration->wTotalLength;
    auto* p = static_cast<PUCHAR>(startPosition);
    if (p < base)
        return nullptr;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        UCHAR length = p[0];
        if (length == 0 || p + length > end)
            break;
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
            if (Matches(interfaceNumber, d->bInterfaceNumber) &&
                Matches(alternateSetting, d->bAlternateSetting) &&
                Matches(interfaceClass, d->bInterfaceClass) &&
                Matches(interfaceSubClass, d->bInterfaceSubClass) &&
                Matches(interfaceProtocol, d->bInterfaceProtocol)) {
                return d;
            }
        }
        p += length;
    }
    return nullptr;
}

// One USBD_INTERFACE_INFORMATION per listed interface, each with room for its endpoints,
// packed one after the other; each list entry's Interface points at its own. An empty list
// gives a request whose header Length (40) covers no interface information, so it selects
// the configuration without interfaces; its block still has the record's full size, zeroed.
// A request too large for the header's 16-bit Length gives null.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                             PUSBD_INTERFACE_LIST_ENTRY list) {
    if (!configuration || !list)
        return nullptr;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t interfaces = 0;
    for (; list[interfaces].InterfaceDescriptor; ++interfaces) {
        size += GET_USBD_INTERFACE_SIZE(list[interfaces].InterfaceDescriptor->bNumEndpoints);
    }
    if (interfaces == 0)
        size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    if (size > 0xFFFF)
        return nullptr;
    size_t block = size < sizeof(struct _URB_SELECT_CONFIGURATION)
                       ? sizeof(struct _URB_SELECT_CONFIGURATION)
                       : size;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, block, host::kUsbdPoolTag));
    if (!urb)
        return nullptr;
    memset(urb, 0, block);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (size_t i = 0; i < interfaces; ++i) {
        PUSB_INTERFACE_DESCRIPTOR d = list[i].InterfaceDescriptor;
        list[i].Interface = info;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG j = 0; j < info->NumberOfPipes; ++j) {
            info->Pipes[j].MaximumTransferSize = kDefaultMaximumTransferSize;
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    return urb;
}

}  // extern "C"
