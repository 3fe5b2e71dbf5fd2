// The capture pin's dispatch outside the data flow: Create, Close, SetDataFormat and
// SetDeviceState. AVStream serialises them for one pin, at passive level.
#include "stream/pin.h"

#include "driver/pool_tags.h"
#include "stream/capture_worker.h"

namespace {

void RequestPinProcessing(PinContext* pin) {
    KsPinAttemptProcessing(pin->Pin, TRUE);
}

const PinOps CapturePinOps = {RequestPinProcessing};

constexpr ULONG kVideoInfoFixed = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
constexpr ULONG kFormatWithVideoInfo = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);
static_assert(kFormatWithVideoInfo == 152, "a format with a whole video info header");

const KS_VIDEOINFOHEADER* VideoInfoOf(const KSDATAFORMAT* format) {
    return reinterpret_cast<const KS_VIDEOINFOHEADER*>(format + 1);
}

// The connection format's video info header, as far as it fits in the record: a bitmap header
// longer than 40 bytes is cut.
void CopyVideoInfo(PinContext* context, const KSDATAFORMAT* format) {
    ULONG size = kVideoInfoFixed + VideoInfoOf(format)->bmiHeader.biSize;
    if (size > sizeof(context->VideoInfo) || size < kVideoInfoFixed)
        size = sizeof(context->VideoInfo);
    memcpy(&context->VideoInfo, VideoInfoOf(format), size);
}

PinContext* ContextOf(PKSPIN pin) {
    return static_cast<PinContext*>(pin->Context);
}

LONG Magnitude(LONG value) {
    return value < 0 ? LONG(0u - ULONG(value)) : value;
}

}  // namespace

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP) {
    auto* context = static_cast<PinContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinContext), kTagRecord));
    if (!context)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(context, 0, sizeof(*context));
    context->Ops = &CapturePinOps;
    context->Pin = pin;
    PKSDEVICE device = KsPinGetDevice(pin);
    context->Device = device ? static_cast<DeviceContext*>(device->Context) : nullptr;
    if (!context->Device) {
        FreeItem(context);
        return STATUS_UNSUCCESSFUL;
    }

    InterlockedExchange(&context->Device->PinOpen, 1);
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreeItem);
    if (!NT_SUCCESS(status)) {
        // No pin comes of it, so the region of interest must not stay frozen.
        InterlockedExchange(&context->Device->PinOpen, 0);
        FreeItem(context);
        return status;
    }
    pin->Context = context;
    CopyVideoInfo(context, pin->ConnectionFormat);

    status = _KsEdit(pin->Bag,
                     reinterpret_cast<PVOID*>(const_cast<PKSPIN_DESCRIPTOR_EX*>(&pin->Descriptor)),
                     sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagFrameBuffer);
    if (!NT_SUCCESS(status)) {
        // No pin comes of a failed Create, so no Close will free the region.
        InterlockedExchange(&context->Device->PinOpen, 0);
        return status;
    }
    auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
    status =
        _KsEdit(pin->Bag,
                reinterpret_cast<PVOID*>(
                    const_cast<PKSALLOCATOR_FRAMING_EX*>(&descriptor->AllocatorFraming)),
                sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagFrameBuffer);
    if (!NT_SUCCESS(status)) {
        // No pin comes of a failed Create, so no Close will free the region.
        InterlockedExchange(&context->Device->PinOpen, 0);
        return status;
    }
    SizeFraming(pin, context->VideoInfo.bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

void SizeFraming(PKSPIN pin, ULONG frameSize) {
    auto* framing = const_cast<PKSALLOCATOR_FRAMING_EX>(pin->Descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = frameSize;
    item.PhysicalRange.MaxFrameSize = frameSize;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = frameSize;
    item.FramingRange.Range.MaxFrameSize = frameSize;
    item.FramingRange.Range.Stepping = 0;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
    PinContext* context = ContextOf(pin);
    if (context) {
        context->Stride = 0;
        InterlockedExchange(&context->Device->PinOpen, 0);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                                const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
    const KSDATAFORMAT* format = pin->ConnectionFormat;
    if (!format || !range)
        return STATUS_NO_MATCH;
    const GUID videoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
    if (!IsEqualGUIDAligned(format->Specifier, videoInfo) ||
        format->FormatSize < kFormatWithVideoInfo)
        return STATUS_NO_MATCH;
    const KS_BITMAPINFOHEADER& bitmap = VideoInfoOf(format)->bmiHeader;
    ULONG bitmapSize = bitmap.biSize;
    ULONG infoSize = kVideoInfoFixed + bitmapSize;
    ULONG formatSize = sizeof(KSDATAFORMAT) + infoSize;
    if (infoSize < bitmapSize || formatSize < infoSize || formatSize > format->FormatSize)
        return STATUS_INVALID_PARAMETER;

    const KS_BITMAPINFOHEADER& offered =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader;
    if (bitmap.biWidth < offered.biWidth ||
        Magnitude(bitmap.biHeight) != Magnitude(offered.biHeight) ||
        bitmap.biCompression != offered.biCompression)
        return STATUS_NO_MATCH;
    // In 64 bits: a width whose rows wrap 32 bits would pass with any image size, and its row
    // step below would overflow. An image size that holds every row bounds the step.
    ULONGLONG needed =
        ULONGLONG(ULONG(bitmap.biWidth)) * ULONGLONG(ULONG(Magnitude(bitmap.biHeight))) * 4u;
    if (bitmap.biSizeImage < needed)
        return STATUS_INVALID_PARAMETER;

    if (!oldFormat)
        return STATUS_SUCCESS;  // the pin is being created: Create copies the header
    PinContext* context = ContextOf(pin);
    if (!context)
        return STATUS_INVALID_DEVICE_STATE;
    // A change refused here leaves the running stream's row step and framing as they are.
    if (pin->DeviceState != KSSTATE_STOP)
        return STATUS_INVALID_DEVICE_STATE;
    context->Stride = bitmap.biWidth * 4;
    CopyVideoInfo(context, format);
    SizeFraming(pin, context->VideoInfo.bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    PinContext* context = ContextOf(pin);
    if (!context)
        return STATUS_INVALID_DEVICE_STATE;
    DeviceContext* device = context->Device;
    CaptureWorker* worker = device->CaptureWorker;
    switch (to) {
        case KSSTATE_STOP:
            if (context->CaptureState != kCaptureNone)
                StopCapture(context);
            if (context->Acquired) {
                if (context->ReferenceClock) {
                    context->ReferenceClock->Release();
                    context->ReferenceClock = nullptr;
                }
                CloseStream(device);
                context->Acquired = FALSE;
            }
            return STATUS_SUCCESS;
        case KSSTATE_ACQUIRE:
            if (from == KSSTATE_STOP) {
                NTSTATUS status = OpenStream(device, context, &context->VideoInfo);
                if (!NT_SUCCESS(status)) {
                    context->Acquired = FALSE;
                    return status;
                }
                context->Acquired = TRUE;
                if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context->ReferenceClock)))
                    context->ReferenceClock = nullptr;
                return status;
            }
            if (context->CaptureState != kCaptureNone)
                StopCapture(context);
            return STATUS_SUCCESS;
        case KSSTATE_PAUSE:
            if (from == KSSTATE_RUN) {
                if (worker &&
                    InterlockedCompareExchange(&worker->StreamState, 0, 0) == kStreamStreaming) {
                    StopWorker(worker);
                    InterlockedExchange(&worker->StreamState, kStreamPaused);
                }
                context->CaptureState = kCapturePaused;
            }
            return STATUS_SUCCESS;
        case KSSTATE_RUN:
            if (context->CaptureState == kCapturePaused) {
                if (worker &&
                    InterlockedCompareExchange(&worker->StreamState, 0, 0) == kStreamPaused) {
                    InterlockedExchange(&worker->StreamState, kStreamStreaming);
                    NTSTATUS status = StartWorker(worker);
                    if (!NT_SUCCESS(status)) {
                        InterlockedExchange(&worker->StreamState, kStreamPaused);
                        return status;
                    }
                }
            } else {
                NTSTATUS status = StartCapture(device);
                if (!NT_SUCCESS(status))
                    return status;
            }
            context->CaptureState = kCaptureRunning;
            return STATUS_SUCCESS;
        default:
            return STATUS_SUCCESS;
    }
}

const KSPIN_DISPATCH CapturePinDispatch = {
    PinCreate,          // Create
    PinClose,           // Close
    PinProcess,         // Process
    nullptr,            // Reset
    PinSetDataFormat,   // SetDataFormat
    PinSetDeviceState,  // SetDeviceState
    nullptr,            // Connect
    nullptr,            // Disconnect
    nullptr,            // Clock
    nullptr,            // Allocator
};
