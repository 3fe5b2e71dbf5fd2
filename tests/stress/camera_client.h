// An application of the camera, as the stress runs play it: it opens the capture filter,
// sends property requests, negotiates the format, creates the pin, walks its states and reads
// frames, every call through the host's entry points and every outcome returned, never
// asserted, so that a run can judge failures that an out-of-memory machine makes legitimate.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/property_set.h"
#include "platform/host/host_control.h"

struct ClientRead {
    struct {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO info;
    } head{};
    std::vector<uint8_t> data;
    host::StreamRead* read = nullptr;
};

class CameraClient {
public:
    explicit CameraClient(PFILE_OBJECT filter) : filter_(filter) {}
    ~CameraClient();  // closes the pin if open and waits for and frees every read
    CameraClient(const CameraClient&) = delete;
    CameraClient& operator=(const CameraClient&) = delete;

    NTSTATUS Get(ULONG id, LONG* value);
    NTSTATUS Set(ULONG id, LONG value, LONG second = 0);
    NTSTATUS SetRoi(LONG x, LONG y, LONG width, LONG height);

    // The format the pin's own range intersects to, kept for CreatePin.
    NTSTATUS Negotiate();
    ULONG ImageSize() const;
    NTSTATUS CreatePin();
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS ClosePin();
    PFILE_OBJECT Pin() const { return pin_; }

    // Queues `count` reads of ImageSize() bytes (with frame information); stops at the first
    // refused one and returns its status.
    NTSTATUS Queue(int count);
    // The oldest queued read once it completed within `milliseconds`, with its status; null
    // (and STATUS_TIMEOUT) when it did not complete, or when nothing is queued.
    ClientRead* Next(uint32_t milliseconds, NTSTATUS* status);
    // Hands a completed read back to the pin.
    NTSTATUS Requeue(ClientRead* read);
    // Waits for every read still queued (the pin's close or stop completes them).
    bool DrainReads(uint32_t milliseconds);

private:
    PFILE_OBJECT filter_;
    PFILE_OBJECT pin_ = nullptr;
    std::vector<uint64_t> format_;
    std::vector<std::unique_ptr<ClientRead>> reads_;
    size_t next_ = 0;  // index of the oldest queued read in reads_
};

// Whether a completed read holds a whole image of the negotiated size.
bool IsFullFrame(const ClientRead& read, ULONG imageSize);
