// How a raw frame is tied to the image made from it, without races:
//
// The capture worker's thread fills two raw buffers; the Process pass (ConvertCapturedFrame)
// marks a full one Converting under the worker's BufferLock, calls GetFrameOrigin, converts
// the buffer and only then marks it Free again. The worker thread never picks a Converting
// buffer to fill, so from the GetFrameOrigin call until the conversion ends the buffer's bytes
// stand still: the hook finds the Converting buffer under the same lock and copies it then.
//
// The pass completes at most one frame, right after converting, and AVStream completes the
// application's reads in the order they were queued; Process passes never overlap. So the
// n-th conversion made the n-th image the application receives. Each copy is queued under a
// mutex with its conversion's sequence number, and the application takes them in that order,
// one per image received. The copy is queued before the pass completes the frame, and the
// application sees the frame only after the completion, so its copy is always there by then.
// A conversion whose frame is never completed (one cut short by the stop) can only be the
// last, so it never shifts the images before it.
#include "tools/raw_capture.h"

#include <atomic>
#include <cstring>

#include "stream/capture_worker.h"

namespace tool {
namespace {

// The hook is a plain function in the operations table, with nothing but the device record
// to go on: it finds its capture here.
std::atomic<RawCapture*> activeCapture{nullptr};

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
    capture->table_.GetFrameOrigin = GetFrameOriginHook;
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
    self->original_->GetFrameOrigin(context, origin);
    if (context == self->context_)
        self->Record(context, *origin);
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
    original_->GetFramePitch(context, &pitch);
    original_->GetFrameSize(context, &size);
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
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.push_back({++recorded_, std::move(raw)});
}

bool RawCapture::TakeNext(std::vector<uint8_t>* raw) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++taken_;
    if (slots_.empty() || slots_.front().sequence != taken_)
        return false;
    *raw = std::move(slots_.front().raw);
    slots_.pop_front();
    return !raw->empty();
}

}  // namespace tool
