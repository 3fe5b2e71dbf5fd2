#include "tools/stream_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tool {
namespace {

double Hundredths(double value) {
    return std::round(value * 100) / 100;
}

}  // namespace

void StreamTally::AddFrame(int64_t pictureNumber, double seconds) {
    if (frames_ == 0)
        first_ = seconds;
    else if (pictureNumber > lastPicture_ + 1)
        dropped_ += pictureNumber - lastPicture_ - 1;
    last_ = seconds;
    lastPicture_ = pictureNumber;
    ++frames_;
}

double StreamTally::Fps() const {
    if (frames_ < 2 || last_ <= first_)
        return 0;
    return double(frames_ - 1) / (last_ - first_);
}

double CpuPerFrameUs(int64_t cpuNanoseconds, int64_t frames) {
    return frames > 0 ? double(cpuNanoseconds) / 1000.0 / double(frames) : 0;
}

StreamSummary Summarize(const StreamTally& tally, int64_t asked, int64_t cpuNanoseconds,
                        double stopMs) {
    StreamSummary s;
    s.asked = asked;
    s.frames = tally.Frames();
    s.dropped = tally.Dropped();
    s.empty = tally.Empty();
    s.fps = tally.Fps();
    s.cpuPerFrameUs = CpuPerFrameUs(cpuNanoseconds, s.frames);
    s.stopMs = stopMs;
    return s;
}

nlohmann::ordered_json SummaryJson(const StreamSummary& s) {
    return {{"summary", true},
            {"frames", s.frames},
            {"dropped", s.dropped},
            {"fps", Hundredths(s.fps)},
            {"driverCpuPerFrameUs", Hundredths(s.cpuPerFrameUs)},
            {"stopMs", Hundredths(s.stopMs)},
            {"empty", s.empty}};
}

std::string SummaryText(const StreamSummary& s) {
    // One frame spans no interval, so there is no rate to state; 0.00 would read as a stall.
    char rate[64] = "(too few to measure a rate)";
    if (s.frames >= 2)
        std::snprintf(rate, sizeof(rate), "at %.2f frames/s", s.fps);
    char text[512];
    int n = std::snprintf(text, sizeof(text),
                          "%lld of %lld frames received %s, %lld dropped\n"
                          "CPU per frame: %.0f us (the driver's work and the simulated "
                          "camera's rendering)\n"
                          "Stop: %.2f ms from the request until the pin was stopped\n",
                          (long long)s.frames, (long long)s.asked, rate, (long long)s.dropped,
                          s.cpuPerFrameUs, s.stopMs);
    std::string out(text, size_t(std::max(n, 0)));
    if (s.empty > 0)
        out += std::to_string(s.empty) + " reads completed without an image\n";
    return out;
}

}  // namespace tool
