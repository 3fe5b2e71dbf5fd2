// The frame read. Every chunk of the frame is queued to the bus driver before the camera is
// told to send, so reads are always pending while the data streams in, and the data lands in
// the caller's buffer through partial descriptors without a copy. One event, signalled by the
// completion of the last chunk, ends the wait.
#include "usb/frame_read.h"

#include "driver/pool_tags.h"
#include "usb/command_packets.h"
#include "usb/frame_transfers.h"
#include "usb/pipe_recovery.h"
#include "usb/pipes.h"

volatile LONG FrameTimeout = kDefaultFrameTimeout;

LONGLONG FrameWaitInterval(LONG milliseconds) {
    return -LONGLONG(ULONG(milliseconds)) * 10000;
}

namespace {

struct QueueOutcome {
    NTSTATUS status;  // STATUS_SUCCESS, or why queuing stopped early
    ULONG queued;     // chunks handed to the bus driver, a refused one included
    BOOLEAN refused;  // the bus driver refused the last chunk handed to it
};

// Allocates the records and the whole-buffer descriptor of a frame and arms the event.
NTSTATUS PrepareTransfers(UsbDevice* usb, PUCHAR buffer, ULONG length, ULONG chunks) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->TransferLock);
    size_t size = (size_t(chunks) + 1) * sizeof(FrameTransfer);
    auto* transfers =
        static_cast<FrameTransfer*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
    if (!transfers) {
        KeReleaseSpinLock(&usb->TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(transfers, 0, size);
    usb->Transfers = transfers;
    InterlockedExchange(&usb->CompletedTransfers, 0);
    // No chunk is queued yet: the records filled so far, and the reader's hold on the count.
    StoreTransferCount(usb, 0);
    InterlockedExchange(&usb->OutstandingTransfers, 1);

    PMDL frameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!frameMdl) {
        usb->Transfers = nullptr;
        ExFreePoolWithTag(transfers, kTagUsb);
        KeReleaseSpinLock(&usb->TransferLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(frameMdl);
    usb->FrameMdl = frameMdl;
    KeResetEvent(&usb->TransfersDone);
    KeReleaseSpinLock(&usb->TransferLock, irql);
    return STATUS_SUCCESS;
}

// Hands the chunks to the bus driver, under TransferLock so that no cancellation scans the
// records while they are being filled. When queuing stops early the count becomes the number
// of chunks actually handed over, so that their completion, and nothing unreachable, ends
// every wait on TransfersDone.
QueueOutcome QueueChunks(UsbDevice* usb, const USBD_PIPE_INFORMATION* pipe, PUCHAR buffer,
                         ULONG length, ULONG chunks) {
    QueueOutcome outcome = {STATUS_SUCCESS, 0, FALSE};
    CCHAR stackSize = CCHAR(usb->NextDeviceObject->StackSize + 1);
    ULONG offset = 0;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->TransferLock);
    while (outcome.queued < chunks) {
        ULONG chunk = length - offset < kFrameChunkSize ? length - offset : kFrameChunkSize;
        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        // Sized for the whole buffer, then narrowed to the chunk: it becomes the request's
        // memory descriptor.
        PMDL chunkMdl = irp ? IoAllocateMdl(buffer, length, FALSE, FALSE, irp) : nullptr;
        if (chunkMdl)
            IoBuildPartialMdl(usb->FrameMdl, chunkMdl, buffer + offset, chunk);
        PURB urb = chunkMdl ? BuildFrameUrb(pipe, chunkMdl) : nullptr;
        if (!urb) {
            if (chunkMdl) {
                irp->MdlAddress = nullptr;
                IoFreeMdl(chunkMdl);
            }
            if (irp)
                IoFreeIrp(irp);
            outcome.status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        offset += chunk;

        FrameTransfer* transfer = &usb->Transfers[outcome.queued];
        transfer->Owner = usb;
        transfer->Urb = urb;
        transfer->Irp = irp;
        transfer->PartialMdl = chunkMdl;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, FrameTransferComplete, transfer, TRUE, TRUE, TRUE);

        ++outcome.queued;
        StoreTransferCount(usb, outcome.queued);
        InterlockedIncrement(&usb->OutstandingTransfers);
        NTSTATUS submitted = IofCallDriver(usb->NextDeviceObject, irp);
        if (!NT_SUCCESS(submitted)) {
            // A request the bus driver refuses has been completed by it, and counted.
            outcome.status = submitted;
            outcome.refused = TRUE;
            break;
        }
        if (offset >= length)
            break;
    }
    KeReleaseSpinLock(&usb->TransferLock, irql);
    // Queuing is over: the reader lets go, and the last of the chunks (or this) sets the event.
    ReleaseOutstandingTransfer(usb);
    return outcome;
}

// The status of the first chunk that completed with an error, or STATUS_SUCCESS. The last
// chunk may be short: a camera may end a frame with a short packet. Any other short chunk
// ends its transfer early while the camera carries on sending, so every byte after it lands
// in the wrong place: that frame is not whole either.
NTSTATUS FailedChunkStatus(UsbDevice* usb) {
    ULONG count = LoadTransferCount(usb);
    for (ULONG i = 0; i < count; ++i) {
        const FrameTransfer* transfer = &usb->Transfers[i];
        PIRP irp = transfer->Irp;
        if (!irp)
            continue;
        if (!NT_SUCCESS(irp->IoStatus.Status))
            return irp->IoStatus.Status;
        if (i + 1 < count && irp->IoStatus.Information < MmGetMdlByteCount(transfer->PartialMdl))
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Whether the chunk statuses say the endpoint halted, rather than the frame only being cut
// short: a reset is due then.
BOOLEAN AnyChunkFailed(UsbDevice* usb) {
    ULONG count = LoadTransferCount(usb);
    for (ULONG i = 0; i < count; ++i) {
        PIRP irp = usb->Transfers[i].Irp;
        if (irp && !NT_SUCCESS(irp->IoStatus.Status))
            return TRUE;
    }
    return FALSE;
}

}  // namespace

NTSTATUS ReadRawFrame(DeviceContext* context, PUCHAR buffer) {
    UsbDevice* usb = &context->Usb;
    ULONG length = ULONG(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&context->RawFrameSize), 0, 0));

    memset(context->FrameCommandPacket, 0, sizeof(context->FrameCommandPacket));
    context->FrameCommandPacket[0] = kCommandStreamOff;
    ULONG moved = 0;
    PipeTransfer(context, kCommandPipe, context->FrameCommandPacket, &moved);

    const USBD_PIPE_INFORMATION* pipe = nullptr;
    NTSTATUS status = FindTransferPipe(usb, kFramePipe, &pipe);
    if (!NT_SUCCESS(status))
        return status;
    if (!buffer)
        return STATUS_INVALID_PARAMETER;
    // Without the camera's start-up there is no frame geometry, and nothing to read.
    if (length == 0)
        return STATUS_INVALID_DEVICE_STATE;

    ULONG chunks = length / kFrameChunkSize + (length % kFrameChunkSize ? 1 : 0);
    status = PrepareTransfers(usb, buffer, length, chunks);
    if (!NT_SUCCESS(status))
        return status;

    StreamControl(context, FALSE);
    QueueOutcome outcome = QueueChunks(usb, pipe, buffer, length, chunks);
    if (outcome.queued < chunks || outcome.refused) {
        // Out of memory, or a chunk the bus driver refused: the frame cannot be whole. The
        // chunks already queued are taken back and awaited first, so nothing can still write
        // into the buffer and the frame pipe holds no transfer when it is reset.
        CancelTransfers(usb);
        AwaitTransfers(usb);
        if (outcome.refused) {
            StreamControl(context, TRUE);
            if (!NT_SUCCESS(ResetPipe(usb, pipe->PipeHandle)))
                ResetPortIfDisabled(usb);
        }
        FreeFrameTransfers(context);
        return outcome.status;
    }

    StreamControl(context, TRUE);
    LARGE_INTEGER wait;
    wait.QuadPart = FrameWaitInterval(InterlockedCompareExchange(&FrameTimeout, 0, 0));
    status = KeWaitForSingleObject(&usb->TransfersDone, Executive, KernelMode, FALSE, &wait);
    if (status == STATUS_TIMEOUT) {
        // Every chunk must have completed, and its completion let go of the read, before the
        // records are freed: a late completion would otherwise signal the next frame.
        CancelTransfers(usb);
        AwaitTransfers(usb);
    } else {
        status = FailedChunkStatus(usb);
        if (AnyChunkFailed(usb)) {
            // A chunk that failed left stale bytes in its part of the buffer: the frame is not
            // read. The endpoint halts on a transfer error, so it is reset now, while no
            // transfer is queued on it, and the next frame can read.
            if (!NT_SUCCESS(ResetPipe(usb, pipe->PipeHandle)))
                ResetPortIfDisabled(usb);
        }
    }
    FreeFrameTransfers(context);
    return status;
}

void ReadFrame(DeviceContext* context, PUCHAR buffer, BOOLEAN* success) {
    NTSTATUS status = ReadRawFrame(context, buffer);
    if (success)
        *success = status == STATUS_SUCCESS ? TRUE : FALSE;
}
