// The capture pin run as a live source for `bayercam view`: created with the format the
// filter offers now (which follows the region of interest), given the clock, run with frames
// kept queued, and read by a thread of its own that hands each image to a FrameHub. It can be
// stopped and started again, as a region change needs; the counts go on across restarts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/camera_session.h"
#include "tools/frame_hub.h"
#include "tools/pin_stream.h"
#include "tools/stream_summary.h"

namespace tool {

struct LiveStatus {
    bool streaming = false;
    int64_t frames = 0;
    int64_t dropped = 0;
    int64_t empty = 0;
    double fps = 0;
    // The whole process's CPU time per frame less the JPEG encoding: the driver's work, the
    // simulated camera's rendering and the serving of requests.
    double cpuPerFrameUs = 0;
    int64_t pictureNumber = 0;  // of the last frame; 0 before one
    uint32_t width = 0;         // of the pin's format, 0 without a pin
    uint32_t height = 0;
    std::string error;  // why the stream stopped by itself; empty while all is well
};

class LiveStream {
public:
    LiveStream(CameraSession* session, FrameHub* hub, int buffers);
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    // Creates and runs the pin and starts reading. False with the reason when a step failed;
    // whatever was made is closed again. Start and Stop are for one thread at a time.
    bool Start(std::string* error);
    // Ends the reading, stops and closes the pin; nothing to do without a pin. False with
    // the reason when the stop or the close failed.
    bool Stop(std::string* error);

    // From any thread.
    LiveStatus Status() const;
    // What `bayercam stream` would report, the stop's time being the last stop's.
    StreamSummary Summary() const;

private:
    void Read();
    void Broke(const std::string& reason);
    int64_t CpuNanoseconds() const;

    CameraSession* session_;
    FrameHub* hub_;
    int buffers_;
    std::unique_ptr<PinStream> pin_;
    std::thread reader_;
    std::atomic<bool> stopRequested_{false};

    mutable std::mutex mutex_;  // what Status reads
    bool streaming_ = false;
    StreamTally tally_;
    int64_t pictureNumber_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    ULONG imageSize_ = 0;
    std::string error_;
    bool everStarted_ = false;
    std::chrono::steady_clock::time_point start_;
    int64_t cpuStart_ = 0;
    int64_t encodeCpuStart_ = 0;
    double stopMs_ = 0;
};

}  // namespace tool
