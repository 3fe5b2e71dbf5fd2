// Pipe lookup and the request blocks that address a single pipe.
#include "usb/pipes.h"

#include "driver/pool_tags.h"

NTSTATUS FindTransferPipe(const UsbDevice* usb, ULONG index, const USBD_PIPE_INFORMATION** pipe) {
    *pipe = nullptr;
    const USBD_INTERFACE_INFORMATION* info = usb->InterfaceInfo;
    if (!info)
        return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes == 0 || index >= info->NumberOfPipes)
        return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION* p = &info->Pipes[index];
    // The bus driver filled the type: read it as the 32-bit number it is, since a value
    // outside the enumeration cannot be loaded as one.
    ULONG type;
    memcpy(&type, &p->PipeType, sizeof(type));
    if (type != ULONG(UsbdPipeTypeBulk) && type != ULONG(UsbdPipeTypeInterrupt)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!p->PipeHandle)
        return STATUS_UNSUCCESSFUL;
    *pipe = p;
    return STATUS_SUCCESS;
}

ULONG TransferFlagsFor(const USBD_PIPE_INFORMATION* pipe) {
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (pipe->EndpointAddress & 0x80)
        flags |= USBD_TRANSFER_DIRECTION_IN;
    return flags;
}

PURB AllocateBulkTransfer(const USBD_PIPE_INFORMATION* pipe, PVOID buffer, PMDL mdl, ULONG length) {
    constexpr size_t size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
    if (!urb)
        return nullptr;
    memset(urb, 0, size);
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = USHORT(size);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe->PipeHandle;
    transfer.TransferFlags = TransferFlagsFor(pipe);
    transfer.TransferBufferLength = length;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferMDL = mdl;
    transfer.UrbLink = nullptr;
    return urb;
}

PURB AllocatePipeRequest(USHORT function, USBD_PIPE_HANDLE handle) {
    constexpr size_t size = sizeof(struct _URB_PIPE_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
    if (!urb)
        return nullptr;
    memset(urb, 0, size);
    urb->UrbPipeRequest.Hdr.Length = USHORT(size);
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.PipeHandle = handle;
    return urb;
}

void FreeUrb(PURB urb) {
    if (urb)
        ExFreePoolWithTag(urb, kTagUsb);
}

// The bus driver reads these records by their x64 layout; a drift would be silent corruption.
static_assert(sizeof(struct _URB_HEADER) == 24, "URB header");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk transfer");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select configuration");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(sizeof(USBD_PIPE_TYPE) == sizeof(ULONG), "pipe type");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information");
