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
    InterlockedIncrement(&owner->CompletedTransfers);
    // From here on the request and the record may already be freed; only the last completion
    // touches the read again, and only to set the event.
    ReleaseOutstandingTransfer(owner);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReleaseOutstandingTransfer(UsbDevice* usb) {
    if (InterlockedDecrement(&usb->OutstandingTransfers) == 0)
        KeSetEvent(&usb->TransfersDone, 1, FALSE);
}

void AwaitTransfers(UsbDevice* usb) {
    KeWaitForSingleObject(&usb->TransfersDone, Executive, KernelMode, FALSE, nullptr);
}

void CancelTransfers(UsbDevice* usb) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->TransferLock);
    if (!usb->Transfers) {
        KeReleaseSpinLock(&usb->TransferLock, irql);
        return;
    }
    // Only chunks handed to the bus driver have records with a request. The lock keeps this
    // scan out of the queuing, so a cancellation either comes before any chunk is queued (and
    // waits for nothing) or after queuing has ended, when the reader's own hold on the count is
    // about to go and the wait below has an end.
    ULONG count = LoadTransferCount(usb);
    ULONG cancelled = 0;
    for (ULONG i = 0; i < count; ++i) {
        FrameTransfer* transfer = &usb->Transfers[i];
        if (transfer->Irp && InterlockedCompareExchange(&transfer->Done, 0, 0) == 0) {
            IoCancelIrp(transfer->Irp);
            ++cancelled;
        }
    }
    KeReleaseSpinLock(&usb->TransferLock, irql);
    if (cancelled > 0)
        AwaitTransfers(usb);
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
