// The frame read when the camera, the bus or the pool lets it down: every read must end, give
// back every transfer it queued, free everything it allocated and say why it failed.
#include <chrono>
#include <string>
#include <thread>

#include "driver/pool_tags.h"
#include "tests/usb/camera_fixture.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"

namespace {

using Clock = std::chrono::steady_clock;

class FrameReadFaults : public CameraFixture {
protected:
    void SetUp() override {
        CameraFixture::SetUp();
        if (HasFatalFailure())
            return;
        Configure();
        SetFrameGeometry();
        buffer_.assign(sim::kFrameBytes, 0);
        usbBaseline_ = host::PoolLiveCount(kTagUsb);
        liveBaseline_ = host::PoolLiveCount();
    }

    std::vector<sim::Transfer> FrameReads() const {
        std::vector<sim::Transfer> reads;
        for (const sim::Transfer& t : OnPipe(2)) {
            if (t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                reads.push_back(t);
        }
        return reads;
    }

    bool SentStreamOn() const {
        for (int code : CommandCodes()) {
            if (code == 0x03)
                return true;
        }
        return false;
    }

    // After any read, failed or not: nothing of it is left in the driver, the pool or the bus.
    void ExpectNothingLeft(const char* what) {
        EXPECT_EQ(context_->Usb.Transfers, nullptr) << what;
        EXPECT_EQ(context_->Usb.FrameMdl, nullptr) << what;
        EXPECT_EQ(camera_->PendingReads(2), 0u) << what;
        EXPECT_EQ(host::PoolLiveCount(kTagUsb), usbBaseline_) << what;
        EXPECT_EQ(host::PoolLiveCount(), liveBaseline_) << what;
        for (const sim::Transfer& t : FrameReads())
            EXPECT_TRUE(t.completed) << what;
    }

    host::PoolBuffer buffer_;
    size_t usbBaseline_ = 0;
    size_t liveBaseline_ = 0;
};

TEST_F(FrameReadFaults, SilentCameraTimesOutWithEveryTransferCancelledAndAwaited) {
    InterlockedExchange(&FrameTimeout, 60);
    camera_->SetFault(sim::Fault::NoFrame);
    BOOLEAN ok = TRUE;
    auto start = Clock::now();
    context_->Ops->ReadFrame(context_, buffer_.data(), &ok);
    auto elapsed = Clock::now() - start;
    EXPECT_FALSE(ok);
    EXPECT_GE(elapsed, std::chrono::milliseconds(60));

    std::vector<sim::Transfer> reads = FrameReads();
    ASSERT_EQ(reads.size(), 5u);
    for (const sim::Transfer& t : reads)
        EXPECT_EQ(t.status, STATUS_CANCELLED);
    ExpectNothingLeft("time-out");
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_TIMEOUT);

    camera_->SetFault(sim::Fault::NoFrame, false);
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS) << "the next frame reads";
}

// A failed chunk leaves stale bytes in the frame: the frame is not read, and the pipe is reset
// once nothing is queued on it. A short chunk that is not the last shifts every byte after it:
// the frame is not read, and there is no halt to reset. A short last chunk is a camera ending
// its frame early: it counts.
TEST_F(FrameReadFaults, AFailedOrMisplacedChunkFailsTheFrameAShortLastOneDoesNot) {
    const struct {
        sim::Fault fault;
        unsigned chunk;
        bool read;
        bool reset;
    } cases[] = {
        {sim::Fault::ChunkError, 2, false, true},
        {sim::Fault::ShortTransfer, 2, false, false},
        {sim::Fault::ShortTransfer, 4, true, false},
    };
    for (const auto& c : cases) {
        std::string what = std::string(FaultName(c.fault)) + " at " + std::to_string(c.chunk);
        camera_->ClearFaults();
        camera_->SetFault(c.fault);
        camera_->SetFaultChunk(c.chunk);
        camera_->ClearTransfers();
        NTSTATUS status = ReadRawFrame(context_, buffer_.data());
        std::vector<sim::Transfer> pipe2 = OnPipe(2);
        ASSERT_GE(pipe2.size(), 5u) << what;
        EXPECT_EQ(status == STATUS_SUCCESS, c.read) << what;
        EXPECT_EQ(pipe2.back().function == URB_FUNCTION_RESET_PIPE, c.reset) << what;
        if (c.fault == sim::Fault::ShortTransfer) {
            EXPECT_LT(pipe2[c.chunk].moved, pipe2[c.chunk].asked) << what;
        }
        ExpectNothingLeft(what.c_str());
        camera_->ClearFaults();
        EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS) << "recovered " << what;
    }
}

TEST_F(FrameReadFaults, TwoPipesFailAfterTheFrameCommand) {
    FreeConfiguration(Usb());
    camera_->SetFault(sim::Fault::TwoPipes);
    ASSERT_EQ(ConfigureDevice(Usb()), STATUS_SUCCESS);
    camera_->ClearTransfers();
    usbBaseline_ = host::PoolLiveCount(kTagUsb);
    liveBaseline_ = host::PoolLiveCount();

    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CommandCodes(), std::vector<int>{0x02});
    EXPECT_TRUE(FrameReads().empty());
    ExpectNothingLeft("two pipes");
}

// A refused chunk stops the queuing; the chunks before it are awaited, never a count that the
// refused one made unreachable. With a long time-out a wait for the full count would hang.
TEST_F(FrameReadFaults, RefusedChunkEndsOnceTheQueuedChunksAreIn) {
    InterlockedExchange(&FrameTimeout, 120000);
    camera_->SetFault(sim::Fault::ChunkRefused);
    camera_->SetFaultChunk(2);
    auto start = Clock::now();
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_UNSUCCESSFUL);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));

    std::vector<sim::Transfer> reads = FrameReads();
    ASSERT_EQ(reads.size(), 3u) << "queuing stops at the refused chunk";
    EXPECT_TRUE(reads[2].synchronous);
    EXPECT_TRUE(SentStreamOn()) << "stream on goes out even after a refusal";
    bool reset = false;
    for (const sim::Transfer& t : OnPipe(2)) {
        if (t.function == URB_FUNCTION_RESET_PIPE)
            reset = t.status == STATUS_SUCCESS;
    }
    EXPECT_TRUE(reset) << "the frame pipe is reset after the refusal";
    ExpectNothingLeft("refused chunk");
}

// Even the last chunk refused leaves a frame that is not whole; the pipe is reset only once
// every chunk queued before it has completed.
TEST_F(FrameReadFaults, RefusedLastChunkFailsTheFrameAndResetsAnIdlePipe) {
    camera_->SetFault(sim::Fault::ChunkRefused);
    camera_->SetFaultChunk(4);
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_UNSUCCESSFUL);
    std::vector<sim::Transfer> pipe2 = OnPipe(2);
    ASSERT_FALSE(pipe2.empty());
    EXPECT_EQ(pipe2.back().function, URB_FUNCTION_RESET_PIPE);
    for (const sim::Transfer& t : pipe2)
        EXPECT_TRUE(t.completed) << "a transfer still queued when the pipe was reset";
    ExpectNothingLeft("refused last chunk");
}

// Command packets complete at once, so the next frame read starts while the bus thread may
// still be inside the last completion of the frame before.
class FrameReadRace : public FrameReadFaults {
protected:
    sim::CameraOptions Options() override {
        sim::CameraOptions options = FrameReadFaults::Options();
        options.synchronousCompletion = true;
        return options;
    }
};

// A completion that signals late must never end the next frame's wait: the reader waits for
// the last completion's signal before it frees or starts anything.
TEST_F(FrameReadRace, LateCompletionsNeverReachTheNextFrame) {
    // Time-outs of 1 to 4 ms against signals delayed by up to 3 ms: some reads time out
    // after their last chunk has completed but before its completion has signalled.
    host::SetDispatchEventDelay(6000);
    int done = 0;
    for (int i = 0; i < 1000; ++i) {
        InterlockedExchange(&FrameTimeout, 1 + i % 8);
        NTSTATUS status = ReadRawFrame(context_, buffer_.data());
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << std::hex << status;
        done += status == STATUS_SUCCESS;
        ASSERT_EQ(Usb()->Transfers, nullptr);
    }
    host::SetDispatchEventDelay(0);
    EXPECT_GT(1000 - done, 0) << "the time-out path was exercised";
    ExpectNothingLeft("late completions");
}

TEST_F(FrameReadFaults, StalledPipeIsResetAndTheNextFrameReads) {
    InterlockedExchange(&FrameTimeout, 120000);
    camera_->SetFault(sim::Fault::StalledPipe);
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FrameReads().size(), 1u);
    EXPECT_FALSE(camera_->FaultActive(sim::Fault::StalledPipe)) << "the pipe reset clears it";
    ExpectNothingLeft("stalled pipe");
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS);
}

TEST_F(FrameReadFaults, DisabledPortIsResetWhenThePipeResetFails) {
    InterlockedExchange(&FrameTimeout, 120000);
    camera_->SetFault(sim::Fault::PortDisabled);
    EXPECT_FALSE(NT_SUCCESS(ReadRawFrame(context_, buffer_.data())));
    std::vector<ULONG> controls;
    for (const sim::Transfer& t : Recorded()) {
        if (t.ioControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
            controls.push_back(t.ioControlCode);
    }
    EXPECT_EQ(controls, (std::vector<ULONG>{IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                                            IOCTL_INTERNAL_USB_RESET_PORT}));
    EXPECT_FALSE(camera_->FaultActive(sim::Fault::PortDisabled));
    ExpectNothingLeft("disabled port");
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS);
}

// Every allocation the read makes is refused once, in turn. Whatever was refused, the read
// ends, leaves nothing behind and reports what the refusal cost: a lost command is ignored, a
// lost record or chunk fails the read, a lost stream-on lets it time out.
TEST_F(FrameReadFaults, EveryAllocationFailureEndsCleanlyWithTheRightStatus) {
    InterlockedExchange(&FrameTimeout, 30);
    uint64_t before = host::PoolSequence();
    ASSERT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS);
    uint64_t points = host::PoolSequence() - before;
    ASSERT_GE(points, 2u + 3u * 5u) << "records, frame descriptor and three per chunk at least";

    int insufficient = 0, timedOut = 0, succeeded = 0;
    for (uint64_t n = 1; n <= points; ++n) {
        camera_->ClearTransfers();
        host::PoolFailNth(n);
        NTSTATUS status = ReadRawFrame(context_, buffer_.data());
        host::PoolClearFaults();
        ASSERT_EQ(host::PoolRefusedCount() > 0, true);

        size_t queued = FrameReads().size();
        if (queued < 5) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            ++insufficient;
        } else if (!SentStreamOn()) {
            EXPECT_EQ(status, STATUS_TIMEOUT) << "allocation " << n;
            ++timedOut;
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << "allocation " << n;
            ++succeeded;
        }
        ExpectNothingLeft(("allocation " + std::to_string(n)).c_str());
        if (HasFailure())
            return;
    }
    EXPECT_EQ(insufficient, int(points) - timedOut - succeeded);
    EXPECT_GE(insufficient, 2 + 3 * 5);
    EXPECT_GE(timedOut, 1) << "losing the stream-on command lets the read time out";
    EXPECT_GE(succeeded, 2) << "losing a stream-off command costs nothing";

    camera_->ClearTransfers();
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS);
}

// Completion racing cancellation: time-outs so short that they expire while the camera is
// sending. Each read either gets the frame or cancels what is left, and always ends clean.
// Which of the two happens depends on timing; the sanitizer builds watch the race itself.
TEST_F(FrameReadFaults, TimeoutRacingTheFrameLeavesNothingBehind) {
    int succeeded = 0, timedOut = 0;
    for (int i = 0; i < 300; ++i) {
        InterlockedExchange(&FrameTimeout, i % 3);
        camera_->ClearTransfers();
        NTSTATUS status = ReadRawFrame(context_, buffer_.data());
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << std::hex << status;
        (status == STATUS_SUCCESS ? succeeded : timedOut)++;
        ExpectNothingLeft("racing time-out");
        if (HasFailure())
            return;
    }
    RecordProperty("succeeded", succeeded);
    RecordProperty("timedOut", timedOut);
}

TEST_F(FrameReadFaults, ManyFramesInARow) {
    for (int i = 0; i < 100; ++i) {
        camera_->ClearTransfers();
        ASSERT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS) << "frame " << i;
        ExpectNothingLeft("frame");
    }
    EXPECT_EQ(camera_->FramesSent(), 100u);
}

}  // namespace
