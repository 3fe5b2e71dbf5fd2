// Chunk bookkeeping of the frame read. The completion routine runs at up to dispatch level on
// the bus driver's thread and takes no lock: it touches its request and record first and the
// shared count last, because once the count is complete the reader may free both.
#include "usb/frame_transfers.h"

#include "driver/pool_tags.h"
#include "usb/pipes.h"

namespace {

volatile LONG* TransferCountCell(UsbDevice* usb) {
    return reinterpret_cast<volatile LONG*>(&usb->TransferCount);
}

}  // namespace

ULONG LoadTransferCount(UsbDevice* usb) {
    return ULONG(InterlockedCompareExchange(TransferCountCell(usb), 0, 0));
}

void StoreTransferCount(UsbDevice* usb, ULONG count) {
    InterlockedExchange(TransferCountCell(usb), LONG(count));
}

ULONG LoadCompletedTransfers(UsbDevice* usb) {
    return ULONG(InterlockedCompareExchange(&usb->CompletedTransfers, 0, 0));
}

PURB BuildFrameUrb(const USBD_PIPE_INFORMATION* pipe, PMDL chunkMdl) {
    return AllocateBulkTransfer(pipe, nullptr, chunkMdl, MmGetMdlByteCount(chunkMdl));
}

NTSTATUS NTAPI FrameTransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (!irp)
        return STATUS_SUCCESS;
    auto* transfer = static_cast<FrameTransfer*>(context);
    if (!transfer || !transfer->Owner || transfer->Irp != irp)
        return irp->IoStatus.Status;
    UsbDevice* owner = transfer->Owner;

    if (NT_SUCCESS(irp->IoStatus.Status)) {
        irp->IoStatus.Information = transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else {
        irp->IoStatus.Information = 0;
    }
    InterlockedIncrement(&transfer->Done);
    // From here on the request and the record may already be freed.
    ULONG completed = ULONG(InterlockedIncrement(&owner->CompletedTransfers));
    if (completed >= LoadTransferCount(owner))
        KeSetEvent(&owner->TransfersDone, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelTransfers(UsbDevice* usb) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->TransferLock);
    if (!usb->Transfers) {
        KeReleaseSpinLock(&usb->TransferLock, irql);
        return;
    }
    // Only chunks handed to the bus driver have records with a request, and the count covers
    // exactly those once queuing has ended, so the wait below always has an end.
    ULONG count = LoadTransferCount(usb);
    for (ULONG i = 0; i < count; ++i) {
        FrameTransfer* transfer = &usb->Transfers[i];
        if (transfer->Irp && InterlockedCompareExchange(&transfer->Done, 0, 0) == 0) {
            IoCancelIrp(transfer->Irp);
        }
    }
    KeReleaseSpinLock(&usb->TransferLock, irql);
    if (LoadCompletedTransfers(usb) < count) {
        KeWaitForSingleObject(&usb->TransfersDone, Executive, KernelMode, FALSE, nullptr);
    }
}

void FreeFrameTransfers(DeviceContext* context) {
    UsbDevice* usb = &context->Usb;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->TransferLock);
    FrameTransfer* transfers = usb->Transfers;
    PMDL frameMdl = usb->FrameMdl;
    ULONG count = LoadTransferCount(usb);
    usb->Transfers = nullptr;
    usb->FrameMdl = nullptr;
    KeReleaseSpinLock(&usb->TransferLock, irql);

    for (ULONG i = 0; transfers && i < count; ++i) {
        FrameTransfer* transfer = &transfers[i];
        if (transfer->Irp) {
            transfer->Irp->MdlAddress = nullptr;  // the descriptor is freed on its own below
            IoFreeIrp(transfer->Irp);
            transfer->Irp = nullptr;
        }
        if (transfer->PartialMdl) {
            IoFreeMdl(transfer->PartialMdl);
            transfer->PartialMdl = nullptr;
        }
        FreeUrb(transfer->Urb);
        transfer->Urb = nullptr;
    }
    if (transfers)
        ExFreePoolWithTag(transfers, kTagUsb);
    if (frameMdl)
        IoFreeMdl(frameMdl);
}
