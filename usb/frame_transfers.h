// The bulk transfers of one frame read: their records, request blocks, completion,
// cancellation and release.
#pragma once

#include "driver/device_context.h"

// One chunk of the frame in flight. The records of a frame live in UsbDevice::Transfers.
struct FrameTransfer {
    UsbDevice* Owner;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    volatile LONG Done;  // becomes 1, interlocked, when the chunk has completed
};

// Bytes per bulk transfer of a frame.
constexpr ULONG kFrameChunkSize = 0x10000;

// The transfer count and the completed count are shared with the completion routine, which
// runs on the bus driver's thread: they are only read and written interlocked.
ULONG LoadTransferCount(UsbDevice* usb);
void StoreTransferCount(UsbDevice* usb, ULONG count);

// The request block of one chunk: a bulk read on the frame pipe into `chunkMdl`, as long as
// the descriptor. Null when the pool refuses it.
PURB BuildFrameUrb(const USBD_PIPE_INFORMATION* pipe, PMDL chunkMdl);

// Completion routine of every chunk; `context` is the chunk's FrameTransfer. Counts the chunk,
// signals TransfersDone when the last one is in, and keeps the request for FreeFrameTransfers.
NTSTATUS NTAPI FrameTransferComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Drops one hold on OutstandingTransfers; the one that reaches zero sets TransfersDone.
void ReleaseOutstandingTransfer(UsbDevice* usb);
// Waits, without time-out, until the last hold on the frame's transfers is gone.
void AwaitTransfers(UsbDevice* usb);

// Cancels every chunk still outstanding and, if it cancelled any, waits until every chunk
// handed to the bus driver has completed. Passive level only. Safe from another thread while
// a read runs (the capture stop uses it).
void CancelTransfers(UsbDevice* usb);

// Frees every chunk's request, descriptor and request block, the records and FrameMdl. Only
// once no chunk is outstanding.
void FreeFrameTransfers(DeviceContext* context);
