// How a raw frame is tied to the image made from it, without races:
//
// The capture worker's thread fills two raw buffers. The Process pass (PinProcess) first takes
// the frame at the leading edge of the pin's queue, locked, if there is one; then
// ConvertCapturedFrame marks a full raw buffer Converting under the worker's BufferLock, calls
// GetFrameOrigin and converts; then the image goes into that frame, which is completed. The
// worker thread never picks a Converting buffer to fill, so from the GetFrameOrigin call until
// the conversion ends the buffer's bytes stand still: the hook finds the Converting buffer under
// the same lock and copies it then.
//
// Which frame receives the image: the hook looks at the leading edge (without locking it, so
// the pass's own lock is untouched) and files the copy under that frame's data buffer, which is
// the application's own buffer. A pass that had no frame converts all the same (the raw frame is
// consumed) and delivers nothing; if the application queued a frame just after that pass looked,
// the hook files a copy under a frame the pass does not fill. So a later copy for the same frame
// replaces an earlier one: passes never overlap, and the pass that fills a frame is the last to
// see it at the leading edge, since it completes the frame before the next pass begins. The
// copy is filed before the frame completes and the application looks only after the
// completion, so the copy is there by then; the buffer is queued again only after the
// application took its copy, so no later frame in the same buffer can replace it first.
#include "tools/raw_capture.h"

#include <atomic>
#include <cstring>

#include "platform/host/host_control.h"
#include "stream/capture_worker.h"
#include "stream/pin.h"

namespace tool {
namespace {

// The hook is a plain function in the operations table, with nothing but the device record
// to go on: it finds its capture here.
std::atomic<RawCapture*> activeCapture{nullptr};

// A kernel image's operations are functions of the kernel's calling convention.
using CameraOp = void (*)(DeviceContext* context, ULONG* value);
using ImageCameraOp = void(NTAPI*)(DeviceContext* context, ULONG* value);

void CallOp(bool image, CameraOp op, DeviceContext* context, ULONG* value) {
    if (image)
        reinterpret_cast<ImageCameraOp>(reinterpret_cast<void*>(op))(context, value);
    else
        op(context, value);
}

}  // namespace

std::unique_ptr<RawCapture> RawCapture::Install(DeviceContext* context, std::string* error) {
    if (!context || !context->CaptureWorker || !context->Ops) {
        *error = "the device has no capture worker to take raw frames from";
        return nullptr;
    }
    std::unique_ptr<RawCapture> capture(new RawCapture);
    RawCapture* expected = nullptr;
    if (!activeCapture.compare_exchange_strong(expected, capture.get())) {
        *error = "raw frames are already being taken";
        return nullptr;
    }
    capture->context_ = context;
    capture->original_ = context->Ops;
    capture->table_ = *context->Ops;
    capture->image_ = host::ChosenDriverImage() != nullptr;
    capture->table_.GetFrameOrigin =
        capture->image_ ? reinterpret_cast<CameraOp>(reinterpret_cast<void*>(&ImageOriginHook))
                        : &GetFrameOriginHook;
    // No stream runs yet, so no thread reads the pointer while it changes; the worker thread
    // that will call through it is created after this store.
    context->Ops = &capture->table_;
    return capture;
}

RawCapture::~RawCapture() {
    if (context_)
        context_->Ops = original_;
    RawCapture* self = this;
    activeCapture.compare_exchange_strong(self, nullptr);
}

void RawCapture::GetFrameOriginHook(DeviceContext* context, ULONG* origin) {
    RawCapture* self = activeCapture.load();
    // The hook only exists while its capture does; the driver's table is still at hand there.
    CallOp(self->image_, self->original_->GetFrameOrigin, context, origin);
    if (context == self->context_)
        self->Record(context, *origin);
}

void NTAPI RawCapture::ImageOriginHook(DeviceContext* context, ULONG* origin) {
    GetFrameOriginHook(context, origin);
}

void RawCapture::Record(DeviceContext* context, ULONG origin) {
    CaptureWorker* worker = context->CaptureWorker;
    LONG index = -1;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->BufferLock);
    for (LONG i = 0; i < 2; ++i) {
        if (worker->BufferState[i] == kBufferConverting)
            index = i;
    }
    KeReleaseSpinLock(&worker->BufferLock, irql);

    ULONG pitch = 0, size = 0;
    CallOp(image_, original_->GetFramePitch, context, &pitch);
    CallOp(image_, original_->GetFrameSize, context, &size);
    const uint64_t last = uint64_t(origin) + uint64_t(pitch) * (kSensorHeight - 1) + kSensorWidth;
    std::vector<uint8_t> raw;
    if (index >= 0 && pitch >= ULONG(kSensorWidth) && last <= size) {
        raw.resize(size_t(kSensorWidth) * kSensorHeight);
        const PUCHAR buffer = worker->CaptureBuffer[index];
        for (LONG y = 0; y < kSensorHeight; ++y) {
            std::memcpy(&raw[size_t(y) * kSensorWidth], buffer + origin + size_t(y) * pitch,
                        kSensorWidth);
        }
    }
    // The frame this pass is filling, if it has one: the leading edge the pass holds locked.
    PinContext* pin = context->ActivePin;
    PKSSTREAM_POINTER leading =
        pin ? KsPinGetLeadingEdgeStreamPointer(pin->Pin, KSSTREAM_POINTER_STATE_UNLOCKED) : nullptr;
    if (!leading || !leading->OffsetOut.Data)
        return;  // no frame to fill: the driver drops this raw frame
    std::lock_guard<std::mutex> lock(mutex_);
    copies_[leading->OffsetOut.Data] = std::move(raw);
}

bool RawCapture::Take(const void* data, std::vector<uint8_t>* raw) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = copies_.find(data);
    if (it == copies_.end())
        return false;
    *raw = std::move(it->second);
    copies_.erase(it);
    return !raw->empty();
}

}  // namespace tool
