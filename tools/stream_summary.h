// What `bayercam stream` reports at the end of a run: frames, the frames the driver dropped,
// the frame rate, the CPU time per frame and how long the stop took. Pure arithmetic on what
// the run recorded, so it is tested without a stream.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace tool {

class StreamTally {
public:
    // A frame that carried an image, with its picture number and when it arrived (seconds of
    // streaming, pauses left out).
    void AddFrame(int64_t pictureNumber, double seconds);
    // A read the driver completed without an image.
    void AddEmpty() { ++empty_; }

    int64_t Frames() const { return frames_; }
    int64_t Empty() const { return empty_; }
    // Pictures the driver numbered but never delivered: the gaps between the picture numbers
    // of frames received one after the other. A number that does not follow on (the count
    // starting again) is no gap.
    int64_t Dropped() const { return dropped_; }
    // Frames per second over the time from the first frame to the last; 0 with fewer than
    // two frames, when there is no interval to measure.
    double Fps() const;

private:
    int64_t frames_ = 0;
    int64_t empty_ = 0;
    int64_t dropped_ = 0;
    int64_t lastPicture_ = 0;
    double first_ = 0;
    double last_ = 0;
};

struct StreamSummary {
    int64_t asked = 0;  // --frames
    int64_t frames = 0;
    int64_t dropped = 0;
    int64_t empty = 0;
    double fps = 0;
    double cpuPerFrameUs = 0;  // 0 without frames
    double stopMs = 0;
};

// CPU nanoseconds spent over `frames` frames, in microseconds per frame; 0 without frames.
double CpuPerFrameUs(int64_t cpuNanoseconds, int64_t frames);

StreamSummary Summarize(const StreamTally& tally, int64_t asked, int64_t cpuNanoseconds,
                        double stopMs);

// {"summary":true,"frames":...,"dropped":...,"fps":...,"driverCpuPerFrameUs":...,
//  "stopMs":...,"empty":...}, the numbers rounded to 0.01.
nlohmann::ordered_json SummaryJson(const StreamSummary& summary);

// The same in words, a few lines ending in a newline.
std::string SummaryText(const StreamSummary& summary);

}  // namespace tool
