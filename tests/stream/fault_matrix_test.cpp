// Every fault the camera can have, switched on while a stream runs and off again: no image is
// ever anything but the conversion of the camera's frame, the stream recovers within three
// frames of the fault clearing, the stop is prompt and nothing leaks. The suite prints what
// each fault cost.
#include <chrono>
#include <cstdio>
#include <thread>

#include "imaging/image_pipeline.h"
#include "usb/frame_read.h"
#include "tests/common/driver_form.h"
#include "tests/stream/expected_image.h"
#include "tests/stream/streaming_camera.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPeriodMs = 1000.0 / 30;
constexpr double kFaultMs = 2 * kPeriodMs;  // the fault is on for two frame times
constexpr LONG kTimeoutMs = 100;

// A camera that sends nothing cannot be told from a slow one: the read pending when such a
// fault clears is still waiting for a frame that will never come, and only its time-out ends
// it. The three frames of recovery count from there, so these faults may take the time-out
// longer.
bool NoticedOnlyByTimeout(sim::Fault fault) {
    return fault == sim::Fault::NoFrame || fault == sim::Fault::ShortSend;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Cost {
    std::string fault;
    int lost = 0;      // frame times from the fault's start until the stream recovered,
                       //   less the images that arrived meanwhile
    int recovery = 0;  // frame times from the fault clearing to the next image
    double stopMs = 0;
};

std::vector<Cost>& Costs() {
    static std::vector<Cost> costs;
    return costs;
}

class FaultMatrix : public StreamingCamera, public testing::WithParamInterface<int> {
protected:
    bool Paced() override { return true; }
    // A camera that sends nothing (no-frame, and short-send, whose stream on the camera never
    // sees) is only noticed when the frame read times out: a short time-out, three frame times,
    // keeps those faults cheap. With the default 3000 ms they cost about 90 frames.
    void SetUp() override {
        StreamingCamera::SetUp();
        InterlockedExchange(DriverFrameTimeout(), kTimeoutMs);
    }

    static void TearDownTestSuite() {
        std::printf("\n%-24s %12s %16s %14s\n", "fault", "frames lost", "recovery frames",
                    "stop time ms");
        for (const Cost& c : Costs())
            std::printf("%-24s %12d %16d %14.2f\n", c.fault.c_str(), c.lost, c.recovery, c.stopMs);
    }

    // The image the client must receive: the camera's still frame as the stream converts it,
    // bottom-up.
    std::vector<uint8_t> Expected() {
        return ExpectedImage(*context_, camera_->LastFrame(), nullptr, false, false);
    }

    // Takes the next client frame within `ms`: whether an image came, checked against the
    // expected one.
    bool NextImage(const std::vector<uint8_t>& expected, uint32_t ms) {
        ClientFrame* f = Next(ms);
        if (!f)
            return false;
        bool image = f->head.header.DataUsed > 0;
        if (image) {
            EXPECT_EQ(f->head.header.DataUsed, expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f->data.begin()))
                << "an image that is not the camera's frame";
        }
        Requeue(f);
        return image;
    }
};

TEST_P(FaultMatrix, StreamSurvivesTheFault) {
    const sim::Fault fault = sim::Fault(GetParam());
    ASSERT_EQ(Set(PropExposure, 524), STATUS_SUCCESS);
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    ULONG size = Info(format)->bmiHeader.biSizeImage;
    Queue(size);
    Queue(size);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    int good = 0;
    // A frame is the camera's period, or the stream's own pace where that is slower (as under
    // a sanitizer): recovery is counted in the frames the stream could have delivered.
    Clock::time_point first = Clock::now();
    while (good < 3) {
        ASSERT_TRUE(Next(2000) != nullptr) << "the stream runs before the fault";
        if (good == 0)
            first = Clock::now();
        Requeue(frames_[(nextFrame_ - 1) % frames_.size()].get());
        ++good;
    }
    const double frameMs = std::max(kPeriodMs, Ms(Clock::now() - first) / 2);
    const std::vector<uint8_t> expected = Expected();

    // Transient where the fault can be: the camera draws it for every frame while it is on.
    const bool transient = sim::FaultCanBeTransient(fault);
    Clock::time_point on = Clock::now();
    if (transient)
        camera_->SetTransientFault(fault, 1000000);
    else
        camera_->SetFault(fault);
    int during = 0;
    while (Ms(Clock::now() - on) < kFaultMs)
        during += NextImage(expected, 10);
    camera_->SetFault(fault, false);
    Clock::time_point off = Clock::now();
    Clock::time_point back;
    for (;;) {
        ASSERT_LT(Ms(Clock::now() - off), 3000) << "no image after the fault cleared";
        if (NextImage(expected, 20)) {
            back = Clock::now();
            break;
        }
    }
    for (int i = 0; i < 3; ++i)
        NextImage(expected, 500);

    Clock::time_point stop = Clock::now();
    ASSERT_EQ(Walk({KSSTATE_STOP}), STATUS_SUCCESS);
    Cost cost;
    cost.fault = sim::FaultName(fault);
    cost.stopMs = Ms(Clock::now() - stop);
    cost.recovery = int(Ms(back - off) / frameMs + 0.5);
    cost.lost = std::max(0, int(Ms(back - on) / frameMs + 0.5) - during - 1);
    Costs().push_back(cost);
    const int allowed = 3 + (NoticedOnlyByTimeout(fault) ? int(kTimeoutMs / frameMs + 0.999) : 0);
    EXPECT_LE(cost.recovery, allowed) << cost.fault;
    EXPECT_LT(cost.stopMs, 100) << cost.fault;
}

INSTANTIATE_TEST_SUITE_P(EveryFault, FaultMatrix, testing::Range(0, sim::kFaultCount),
                         [](const testing::TestParamInfo<int>& info) {
                             std::string name = sim::FaultName(sim::Fault(info.param));
                             for (char& c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });

}  // namespace
