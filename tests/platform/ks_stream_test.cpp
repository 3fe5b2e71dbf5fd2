// Processing, frames and the clock: requests that merge, the run-state gate, a state change
// during a pass, the leading edge's offsets and the header a read completes with, frames
// cancelled at STOP, the master clock and the references to it, and misuse that bug checks.
#include <chrono>
#include <thread>

#include "tests/platform/ks_pin_driver.h"

namespace ks_pin_test {
namespace {

using StreamTest = OpenFilter;

// Waits up to a second for the driver to have made `passes` passes, then a little longer to
// see that no more come.
int SettledPasses(int passes) {
    for (int i = 0; i < 1000 && recorded.passes < passes; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return recorded.passes;
}

TEST_F(StreamTest, RequestsDuringAPassMakeExactlyOneMorePass) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    behaviour.blockProcess = true;
    KsPinAttemptProcessing(recorded.pin, TRUE);
    ASSERT_EQ(KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    for (int i = 0; i < 5; ++i)
        KsPinAttemptProcessing(recorded.pin, i % 2 == 0);
    behaviour.blockProcess = false;
    KeSetEvent(&release, 0, FALSE);
    EXPECT_EQ(SettledPasses(2), 2);
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(StreamTest, ProcessingGate) {
    const struct {
        const char* what;
        ULONG pinId;
        KSSTATE state;
        int passes;
    } cases[] = {
        {"stopped pin", kCapturePin, KSSTATE_STOP, 0},
        {"acquired pin", kCapturePin, KSSTATE_ACQUIRE, 0},
        {"paused pin", kCapturePin, KSSTATE_PAUSE, 1},
        {"running pin", kCapturePin, KSSTATE_RUN, 1},
        {"run-only pin paused", kRunOnlyPin, KSSTATE_PAUSE, 0},
        {"run-only pin running", kRunOnlyPin, KSSTATE_RUN, 1},
    };
    for (const auto& c : cases) {
        recorded.passes = 0;
        PFILE_OBJECT pin = Connect(c.pinId, Format(kVideo, kSubA, kSpecA));
        ASSERT_EQ(host::SetPinState(pin, c.state), STATUS_SUCCESS) << c.what;
        KsPinAttemptProcessing(recorded.pin, TRUE);
        EXPECT_EQ(SettledPasses(c.passes), c.passes) << c.what;
        EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
    }
}

TEST_F(StreamTest, ARequestWhileTheGateIsClosedIsNotKeptForLater) {
    PFILE_OBJECT pin = Connect(kRunOnlyPin, Format(kVideo, kSubA, kSpecA));
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    KsPinAttemptProcessing(recorded.pin, TRUE);
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(SettledPasses(0), 0);
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(StreamTest, AStateChangeRunsWhileAPassIsInProcess) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    behaviour.blockProcess = true;
    KsPinAttemptProcessing(recorded.pin, TRUE);
    ASSERT_EQ(KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    // AVStream takes no processing mutex around a state change: this must not wait for the
    // pass, which is still blocked.
    EXPECT_EQ(host::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_TRUE(recorded.stateSawPass);
    KeSetEvent(&release, 0, FALSE);
    // Close waits for the pass to end before the pin goes.
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_FALSE(recorded.inProcess);
}

struct VideoHeader {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
};

VideoHeader NewHeader(ULONG size, void* data, ULONG extent) {
    VideoHeader h{};
    h.header.Size = size;
    h.header.FrameExtent = extent;
    h.header.Data = data;
    h.header.DataUsed = 77;
    h.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    return h;
}

TEST_F(StreamTest, AFrameCompletesWithTheHeaderAsTheDriverFilledIt) {
    const struct {
        const char* what;
        ULONG size;
        ULONG extent;
        NTSTATUS status;
        ULONG used;
    } cases[] = {
        {"plain header", sizeof(KSSTREAM_HEADER), 64, STATUS_SUCCESS, 10},
        {"header with frame information", sizeof(VideoHeader), 64, STATUS_SUCCESS, 10},
        {"frame smaller than what the driver would write", sizeof(KSSTREAM_HEADER), 4,
         STATUS_SUCCESS, 4},
        {"header of no known size", 100, 64, STATUS_INVALID_PARAMETER, 77},
        {"extent without data", sizeof(KSSTREAM_HEADER), 64, STATUS_INVALID_PARAMETER, 77},
    };
    behaviour.fillFrames = true;
    for (const auto& c : cases) {
        PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
        ASSERT_EQ(host::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS) << c.what;
        unsigned char data[64] = {};
        bool noData = strncmp(c.what, "extent without", 14) == 0;
        VideoHeader h = NewHeader(c.size, noData ? nullptr : data, c.extent);
        host::StreamRead* read = nullptr;
        NTSTATUS queued = host::ReadStream(pin, &h.header, &read);
        if (c.status == STATUS_SUCCESS) {
            ASSERT_EQ(queued, STATUS_PENDING) << c.what;
            NTSTATUS status = STATUS_PENDING;
            ASSERT_TRUE(host::WaitStreamRead(read, 2000, &status)) << c.what;
            EXPECT_EQ(status, STATUS_SUCCESS) << c.what;
            host::FreeStreamRead(read);
            EXPECT_EQ(recorded.offset.Data, data) << c.what;
            EXPECT_EQ(recorded.offset.Count, c.extent) << c.what;
            EXPECT_EQ(recorded.offset.Remaining, c.extent) << c.what;
            EXPECT_EQ(data[c.used - 1], 0xA5) << c.what;
            EXPECT_EQ(data[c.used], 0) << c.what;
            EXPECT_EQ(h.header.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID)) << c.what;
            EXPECT_EQ(h.header.PresentationTime.Time, 1234) << c.what;
            EXPECT_EQ(h.info.PictureNumber, c.size == sizeof(VideoHeader) ? 42 : 0) << c.what;
        } else {
            EXPECT_EQ(queued, c.status) << c.what;
            EXPECT_EQ(read, nullptr) << c.what;
        }
        EXPECT_EQ(h.header.DataUsed, c.used) << c.what;
        EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
    }
}

TEST_F(StreamTest, FramesStillQueuedAtStopAreCancelled) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    unsigned char data[2][16];
    KSSTREAM_HEADER headers[2];
    host::StreamRead* reads[2];
    // A stopped pin takes no frames.
    headers[0] = NewHeader(sizeof(KSSTREAM_HEADER), data[0], 16).header;
    EXPECT_EQ(host::ReadStream(pin, &headers[0], &reads[0]), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        headers[i] = NewHeader(sizeof(KSSTREAM_HEADER), data[i], 16).header;
        ASSERT_EQ(host::ReadStream(pin, &headers[i], &reads[i]), STATUS_PENDING);
    }
    NTSTATUS status;
    EXPECT_FALSE(host::WaitStreamRead(reads[0], 20, &status));
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(host::WaitStreamRead(reads[i], 0, &status));
        EXPECT_EQ(status, STATUS_CANCELLED);
        EXPECT_EQ(headers[i].DataUsed, 0u);
        host::FreeStreamRead(reads[i]);
    }
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(StreamTest, ReferenceClock) {
    const struct {
        const char* what;
        bool master;
        NTSTATUS status;
    } cases[] = {
        {"no master clock", false, STATUS_DEVICE_NOT_READY},
        {"the host's clock", true, STATUS_SUCCESS},
    };
    behaviour.takeClock = true;
    for (const auto& c : cases) {
        PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
        ASSERT_EQ(host::SetPinMasterClock(pin, c.master), STATUS_SUCCESS) << c.what;
        LONGLONG before = host::ClockStreamTime();
        ASSERT_EQ(host::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS) << c.what;
        LONGLONG after = host::ClockStreamTime();
        EXPECT_EQ(recorded.clockStatus, c.status) << c.what;
        if (c.master) {
            EXPECT_GE(recorded.streamTime, before) << c.what;
            EXPECT_LE(recorded.streamTime, after) << c.what;
            EXPECT_NE(recorded.systemTime, recorded.streamTime) << c.what;
            // The master clock is settled while stopped only.
            EXPECT_EQ(host::SetPinMasterClock(pin, false), STATUS_INVALID_DEVICE_STATE) << c.what;
        }
        EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
    }
}

class StreamDeathTest : public OpenFilter {
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        OpenFilter::SetUp();
    }
};

TEST_F(StreamDeathTest, Misuse) {
    EXPECT_DEATH(
        {
            behaviour.takeClock = behaviour.keepClock = true;
            PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
            host::SetPinMasterClock(pin, true);
            host::SetPinState(pin, KSSTATE_ACQUIRE);
            host::ClosePin(pin);
        },
        "BUG CHECK: a pin closed while its driver holds 1 reference\\(s\\) to its clock");
    EXPECT_DEATH(
        {
            behaviour.fillFrames = behaviour.ejectTooMuch = true;
            PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
            host::SetPinState(pin, KSSTATE_RUN);
            unsigned char data[16];
            KSSTREAM_HEADER header = NewHeader(sizeof(KSSTREAM_HEADER), data, 16).header;
            host::StreamRead* read;
            host::ReadStream(pin, &header, &read);
            std::this_thread::sleep_for(std::chrono::seconds(2));
        },
        "BUG CHECK: a frame completed with DataUsed beyond its FrameExtent");
    EXPECT_DEATH(
        {
            behaviour.fillFrames = behaviour.holdFrameLocked = true;
            PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
            host::SetPinState(pin, KSSTATE_RUN);
            unsigned char data[16];
            KSSTREAM_HEADER header = NewHeader(sizeof(KSSTREAM_HEADER), data, 16).header;
            host::StreamRead* read;
            host::ReadStream(pin, &header, &read);
            for (int i = 0; i < 1000 && recorded.passes == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            host::SetPinState(pin, KSSTATE_STOP);
        },
        "BUG CHECK: a pin stopped or closed while its driver holds a frame locked");
    EXPECT_DEATH(
        {
            Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
            host::CloseFilter(filter_);
        },
        "BUG CHECK: CloseFilter of a filter whose pins are still open");
    EXPECT_DEATH(
        {
            Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
            PKSPIN pin = recorded.pin;
            KsPinAcquireProcessingMutex(pin);
            KsFilterAcquireControl(KsPinGetParentFilter(pin));
        },
        "BUG CHECK: control mutex acquired while holding a processing mutex");
}

}  // namespace
}  // namespace ks_pin_test
