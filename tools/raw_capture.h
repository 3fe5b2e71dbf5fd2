// --raw-out: the raw Bayer frame each delivered image was converted from. The driver keeps
// its raw frames to itself; the tool, like a debugging build would, wraps the device's camera
// operations so the conversion itself hands over a copy of the buffer it is about to convert.
// It replaces DeviceContext::Ops, of the built-in driver or of a kernel image.
#pragma once

#include <cstdint>
#include <map>
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

    // The raw frame (656 x 494 samples, row after row) converted into the frame whose data
    // buffer is `data`, which has just completed with an image; false when none was recorded.
    // Call for every completed frame, with or without an image, before queuing it again.
    bool Take(const void* data, std::vector<uint8_t>* raw);

    RawCapture(const RawCapture&) = delete;
    RawCapture& operator=(const RawCapture&) = delete;

private:
    struct Slot {
        uint64_t sequence;         // the conversion's number, from 1
        std::vector<uint8_t> raw;  // empty when the buffer could not be found or read
    };

    RawCapture() = default;
    static void GetFrameOriginHook(DeviceContext* context, ULONG* origin);
    // The same for a kernel image, whose table holds functions of the kernel's convention.
    static void NTAPI ImageOriginHook(DeviceContext* context, ULONG* origin);
    void Record(DeviceContext* context, ULONG origin);

    DeviceContext* context_ = nullptr;
    const CameraOps* original_ = nullptr;
    bool image_ = false;  // the driver is a kernel image
    CameraOps table_{};
    std::mutex mutex_;  // guards the copies: the Process pass's thread and the application's
    // The latest copy converted while each frame (by its data buffer) led the pin's queue;
    // empty when the buffer could not be found or read.
    std::map<const void*, std::vector<uint8_t>> copies_;
};

}  // namespace tool
