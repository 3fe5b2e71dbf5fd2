// Frame delivery: the Process pass that converts the newest raw frame into the frame at the
// leading edge of the pin's queue, stamps it and hands it to the client; and FrameReady, by
// which the worker asks for such a pass after every raw frame.
#include "stream/capture_worker.h"
#include "stream/pin.h"

namespace {

constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
static_assert(kHeaderWithFrameInfo == 128, "stream header followed by frame information");

// Where the delivered rows go in a frame: `step` bytes apart (the format's stride when it is
// wider), `rowBytes` each. False when the frame cannot hold them.
struct FrameRows {
    LONG width, height;
    ULONG rowBytes, step;
};

BOOLEAN RowsFit(const PinContext* pin, PUCHAR destination, ULONG extent, FrameRows* rows) {
    DeviceContext* device = pin->Device;
    rows->width = device->OutputWidth;
    rows->height = device->OutputHeight;
    if (rows->height <= 0 || rows->width <= 0)
        return TRUE;
    rows->rowBytes = ULONG(rows->width) * 4u;
    rows->step = pin->Stride > LONG(rows->rowBytes) ? ULONG(pin->Stride) : rows->rowBytes;
    ULONGLONG needed = ULONGLONG(rows->step) * ULONGLONG(rows->height - 1) + rows->rowBytes;
    return destination && needed <= extent;
}

// Copies the converted image into the frame: bottom-up unless FlipV, mirrored when FlipH.
// Writes nothing, and reports false, when the frame cannot hold the image.
BOOLEAN CopyImage(const PinContext* pin, CaptureWorker* worker, PUCHAR destination, ULONG extent) {
    DeviceContext* device = pin->Device;
    FrameRows rows{};
    if (!RowsFit(pin, destination, extent, &rows))
        return FALSE;
    const LONG width = rows.width, height = rows.height;
    if (height <= 0 || width <= 0)
        return TRUE;

    LONG sourcePitch = device->RoiW * 4;
    BOOLEAN flipH = InterlockedCompareExchange(&device->FlipH, 0, 0) != 0;
    BOOLEAN flipV = InterlockedCompareExchange(&device->FlipV, 0, 0) != 0;
    const UCHAR* source = worker->FrameBuffer;
    LONG sourceStep = sourcePitch;
    if (!flipV) {
        source += LONGLONG(height - 1) * sourcePitch;
        sourceStep = -sourcePitch;
    }
    for (LONG row = 0; row < height; ++row) {
        if (flipH) {
            const ULONG* from = reinterpret_cast<const ULONG*>(source);
            ULONG* to = reinterpret_cast<ULONG*>(destination);
            for (LONG i = 0; i < width; ++i)
                to[width - 1 - i] = from[i];
        } else {
            memcpy(destination, source, rows.rowBytes);
        }
        source += sourceStep;
        destination += rows.step;
    }
    return TRUE;
}

// Whether the pass may convert straight into the frame, skipping FrameBuffer and the copy:
// every converted row is delivered whole (the region's width is a multiple of 8), unmirrored,
// and the frame holds the image. `firstRow` and `step` place image row 0 and the next rows:
// the frame's last row and upwards unless FlipV.
BOOLEAN DirectTarget(const PinContext* pin, PKSSTREAM_POINTER pointer, PUCHAR* firstRow,
                     LONG_PTR* step) {
    DeviceContext* device = pin->Device;
    PUCHAR destination = pointer->OffsetOut.Data;
    ULONG extent = pointer->OffsetOut.Count;
    FrameRows rows{};
    if (pin->VideoInfo.bmiHeader.biSizeImage > extent ||
        !RowsFit(pin, destination, extent, &rows) || rows.width <= 0 || rows.height <= 0 ||
        rows.width != device->RoiW || rows.height != device->RoiH ||
        InterlockedCompareExchange(&device->FlipH, 0, 0) != 0)
        return FALSE;
    if (InterlockedCompareExchange(&device->FlipV, 0, 0) != 0) {
        *firstRow = destination;
        *step = LONG_PTR(rows.step);
    } else {
        *firstRow = destination + LONG_PTR(rows.height - 1) * LONG_PTR(rows.step);
        *step = -LONG_PTR(rows.step);
    }
    return TRUE;
}

void FillHeader(const PinContext* pin, PKSSTREAM_HEADER header) {
    header->DataUsed = pin->VideoInfo.bmiHeader.biSizeImage;
    header->Duration = pin->VideoInfo.AvgTimePerFrame;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    if (!pin->ReferenceClock) {
        header->PresentationTime.Time = 0;
        return;
    }
    LONGLONG systemTime = 0;
    header->PresentationTime.Time = pin->ReferenceClock->GetCorrelatedTime(&systemTime);
    header->OptionsFlags =
        KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    if (header->Size >= kHeaderWithFrameInfo) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        // The worker thread counts frames while the pass runs: read the count whole.
        LONG number = InterlockedCompareExchange(
            reinterpret_cast<volatile LONG*>(&pin->Device->FrameNumber), 0, 0);
        info->PictureNumber = LONGLONG(ULONG(number));
        info->DropCount = 0;
    }
}

void Deliver(const PinContext* pin, CaptureWorker* worker, PKSSTREAM_POINTER pointer) {
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    ULONG extent = pointer->OffsetOut.Count;
    // A frame too small for the image or for the size the format announces gets nothing.
    if (pin->VideoInfo.bmiHeader.biSizeImage > extent ||
        !CopyImage(pin, worker, pointer->OffsetOut.Data, extent)) {
        header->DataUsed = 0;
        return;
    }
    FillHeader(pin, header);
}

}  // namespace

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
    auto* context = static_cast<PinContext*>(pin->Context);
    CaptureWorker* worker = context ? context->Device->CaptureWorker : nullptr;
    if (!worker || InterlockedCompareExchange(&worker->FramesRead, 0, 0) <= 0)
        return STATUS_PENDING;
    if (!BeginPass(worker)) {
        EndPass(worker);
        return STATUS_PENDING;
    }

    PKSSTREAM_POINTER pointer =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    // The raw frame is consumed even when the client has no frame queued.
    PUCHAR firstRow = nullptr;
    LONG_PTR step = 0;
    if (pointer && DirectTarget(context, pointer, &firstRow, &step)) {
        if (ConvertCapturedFrameInto(worker, firstRow, step))
            FillHeader(context, pointer->StreamHeader);
        KsStreamPointerUnlock(pointer, TRUE);
    } else {
        BOOLEAN converted = ConvertCapturedFrame(worker);
        if (pointer) {
            if (converted)
                Deliver(context, worker, pointer);
            KsStreamPointerUnlock(pointer, TRUE);
        }
    }
    EndPass(worker);
    return STATUS_PENDING;
}

void FrameReady(DeviceContext* context) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&context->FrameNumber));
    PinContext* pin = context->ActivePin;
    if (pin)
        pin->Ops->RequestProcessing(pin);
}
