// --raw-out: the raw Bayer frame each delivered image was converted from. The driver keeps
// its raw frames to itself; the tool, like a debugging build would, wraps the device's camera
// operations so the conversion itself hands over a copy of the buffer it is about to convert.
// Host build only: it replaces DeviceContext::Ops.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/device_context.h"

namespace tool {

class RawCapture {
public:
    // Replaces the device's operations table with a copy whose GetFrameOrigin first copies
    // the capture buffer being converted. Call while no stream runs (before the pin exists);
    // one capture per process. Null with the reason when the device has no capture worker.
    static std::unique_ptr<RawCapture> Install(DeviceContext* context, std::string* error);
    // Puts the driver's own table back; call once the stream has stopped.
    ~RawCapture();

    // The raw frame (656 x 494 samples, row after row) of the next delivered image, in the
    // order the images were delivered; false when no conversion was recorded for it.
    bool TakeNext(std::vector<uint8_t>* raw);

    RawCapture(const RawCapture&) = delete;
    RawCapture& operator=(const RawCapture&) = delete;

private:
    struct Slot {
        uint64_t sequence;         // the conversion's number, from 1
        std::vector<uint8_t> raw;  // empty when the buffer could not be found or read
    };

    RawCapture() = default;
    static void GetFrameOriginHook(DeviceContext* context, ULONG* origin);
    void Record(DeviceContext* context, ULONG origin);

    DeviceContext* context_ = nullptr;
    const CameraOps* original_ = nullptr;
    CameraOps table_{};
    std::mutex mutex_;  // guards what follows: the hook's thread and the application's
    std::deque<Slot> slots_;
    uint64_t recorded_ = 0;
    uint64_t taken_ = 0;
};

}  // namespace tool
