// The capture pin as an application drives it: created relative to the filter with a format,
// given the clock, walked through its states, with a ring of frames kept queued on it. Each
// frame is a 128-byte header area (a KSSTREAM_HEADER and the KS_FRAME_INFO after it) and a
// data buffer of the format's image size, as a capture application queues them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/host/host_control.h"

namespace tool {

struct FrameHeader {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
};
static_assert(sizeof(KSSTREAM_HEADER) == 56 && sizeof(KS_FRAME_INFO) == 72 &&
                  sizeof(FrameHeader) == 128,
              "the header area an application passes");

// A completed read, as the driver filled it. `data` stays valid until the frame is queued
// again (Requeue) or the stream ends.
struct CompletedFrame {
    NTSTATUS status = STATUS_SUCCESS;
    FrameHeader header{};
    const uint8_t* data = nullptr;
};

class PinStream {
public:
    // Creates pin 0 with `format`; null with the status when the pin was refused.
    static std::unique_ptr<PinStream> Create(PFILE_OBJECT filter, const KSDATAFORMAT* format,
                                             ULONG imageSize, NTSTATUS* status);
    // Closes the pin if still open, then waits for and frees what is still queued.
    ~PinStream();

    NTSTATUS SetClock(bool present) { return host::SetPinMasterClock(pin_, present); }
    NTSTATUS SetState(KSSTATE state) { return host::SetPinState(pin_, state); }

    // Allocates `count` frames and queues each; the first refusal's status.
    NTSTATUS QueueFrames(int count);
    // Waits up to `milliseconds` for the oldest queued frame: true with it when it completed.
    // AVStream completes reads in the order they were queued, so the oldest comes first.
    bool WaitOldest(uint32_t milliseconds, CompletedFrame* frame);
    // Queues the frame WaitOldest returned again, at the end of the ring.
    NTSTATUS Requeue();
    // Frames queued and not yet seen completed.
    size_t Queued() const { return queued_.size(); }

    // Closes the pin (AVStream walks it down to STOP first) and waits up to `milliseconds`
    // for every frame still queued; false when one never completed (its memory is then kept,
    // since the read may still write to it).
    bool Close(uint32_t milliseconds, NTSTATUS* status);

    PinStream(const PinStream&) = delete;
    PinStream& operator=(const PinStream&) = delete;

private:
    struct Frame {
        FrameHeader header;
        std::vector<uint8_t> data;
        host::StreamRead* read = nullptr;
    };

    PinStream() = default;
    NTSTATUS Queue(Frame* frame);
    bool Drain(uint32_t milliseconds);

    PFILE_OBJECT pin_ = nullptr;
    ULONG imageSize_ = 0;
    std::vector<std::unique_ptr<Frame>> frames_;
    std::deque<Frame*> queued_;   // oldest first
    Frame* completed_ = nullptr;  // returned by WaitOldest, not yet queued again
    bool leaked_ = false;
};

}  // namespace tool
