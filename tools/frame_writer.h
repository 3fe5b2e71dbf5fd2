// The files of `bayercam stream`, written on a thread of their own: encoding a PNG takes
// longer than a frame lasts, and a stream that waited for it would drop frames. The stream
// hands each frame over as a copy and queues its read again at once. The thread's CPU time is
// measured apart, so what the driver costs per frame is not blurred by the tool's own files.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/contact_sheet.h"

namespace tool {

struct FrameJob {
    int64_t ordinal = 0;        // the received frame's count, from 1
    int64_t pictureNumber = 0;  // names the files: NNNNNN.png, NNNNNN.raw
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bottomUp;  // 4-byte pixels, the first row the bottom of the picture
    std::vector<uint8_t> raw;       // the raw frame, written when not empty
    bool png = false;
    bool sheet = false;
};

// The picture upright: the rows of a bottom-up bitmap in reverse order.
std::vector<uint8_t> UprightRows(const std::vector<uint8_t>& bottomUp, uint32_t width,
                                 uint32_t height);

// "DIR/000042.png": the picture number in six digits (more when it needs more).
std::string FramePath(const std::string& dir, int64_t pictureNumber, const char* extension);

class FrameWriter {
public:
    // PNGs go to `pngDir`, raws to `rawDir`, tiles onto `sheet` (any may be unused).
    FrameWriter(std::string pngDir, std::string rawDir, ContactSheet* sheet);
    ~FrameWriter();

    // Hands a frame over; waits while kBacklog frames wait to be written, so a stream faster
    // than the disk slows down instead of filling the memory.
    static constexpr size_t kBacklog = 8;
    void Push(FrameJob job);
    // The first failure so far, empty while there is none.
    std::string Error();
    // Writes what is left and ends the thread; the first failure, empty when there was none.
    std::string Finish();
    // CPU time the writing thread has used so far, in nanoseconds.
    int64_t CpuNanoseconds();

    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

private:
    void Loop();
    std::string Write(const FrameJob& job);

    std::string pngDir_;
    std::string rawDir_;
    ContactSheet* sheet_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FrameJob> jobs_;
    bool finishing_ = false;
    std::string error_;
    std::thread thread_;
};

}  // namespace tool
