// The capture pin's life as an application drives it: creation, formats, the state walk, the
// stream claim and the capture buffers across pause and restart, and every allocation failure.
#include <chrono>

#include "driver/pool_tags.h"
#include "stream/capture_worker.h"
#include "stream/pin.h"
#include "tests/stream/streaming_camera.h"

namespace {

using PinStates = StreamingCamera;
constexpr ULONG kImage = 656 * 494 * 4;

// At the camera's frame rate a pass delivers each raw frame long before the next one is read,
// so picture numbers are exact.
class PacedPin : public StreamingCamera {
protected:
    bool Paced() override { return true; }
};

TEST_F(PacedPin, PauseKeepsTheCaptureAndAcquireStartsItOver) {
    // A small region converts in far less than a frame time, even in a sanitized build.
    ASSERT_EQ(SetRoi(0, 0, 64, 64), STATUS_SUCCESS);
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    EXPECT_EQ(context_->PinOpen, 1);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    Queue(64 * 64 * 4);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    ClientFrame* f = Next();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->head.info.PictureNumber, 1);
    CaptureWorker* w = context_->CaptureWorker;
    PUCHAR frameBuffer = w->FrameBuffer, raw0 = w->CaptureBuffer[0];
    uint64_t startUps = camera_->CommandCount(0x0A);

    ASSERT_EQ(Walk({KSSTATE_PAUSE}), STATUS_SUCCESS);
    LONG counted = context_->FrameNumber;
    Requeue(f);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    f = Next();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(w->FrameBuffer, frameBuffer);
    EXPECT_EQ(w->CaptureBuffer[0], raw0);
    EXPECT_EQ(camera_->CommandCount(0x0A), startUps) << "no second InitializeCamera";
    EXPECT_EQ(f->head.info.PictureNumber, counted + 1) << "the count goes on after a pause";

    ASSERT_EQ(Walk({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    Requeue(f);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    EXPECT_EQ(camera_->CommandCount(0x0A), startUps + 1) << "a new capture initialises";
    f = Next();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->head.info.PictureNumber, 1) << "the count starts over";
    ASSERT_EQ(Walk({KSSTATE_STOP}), STATUS_SUCCESS);
    EXPECT_EQ(w->FrameBuffer, nullptr);
    EXPECT_EQ(context_->StreamOpen, 0);
}

TEST_F(PinStates, OneStreamPerDeviceAndOnlyThirtyTwoBitRgb) {
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format, false), STATUS_SUCCESS) << "no clock is not an error";
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE}), STATUS_SUCCESS);

    PFILE_OBJECT second = nullptr, secondPin = nullptr;
    ASSERT_EQ(host::OpenFilter(device_, "GLOBAL", &second), STATUS_SUCCESS);
    ASSERT_EQ(host::CreatePin(second, 0, Format(format), &secondPin), STATUS_SUCCESS);
    EXPECT_EQ(host::SetPinState(secondPin, KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(context_->StreamOpen, 1) << "the first stream is untouched";
    EXPECT_EQ(host::ClosePin(secondPin), STATUS_SUCCESS);
    EXPECT_EQ(host::CloseFilter(second), STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_STOP}), STATUS_SUCCESS);
    EXPECT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
    pin_ = nullptr;

    Info(format)->bmiHeader.biBitCount = 24;
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS) << "the bit count is checked at ACQUIRE";
    EXPECT_EQ(Walk({KSSTATE_ACQUIRE}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context_->StreamOpen, 0) << "the claim is released";
}

TEST_F(PinStates, AStopDuringAReadThatNeverEndsReturnsPromptly) {
    ASSERT_EQ(Set(PropTimeout, 3600000), STATUS_SUCCESS);  // an hour
    camera_->SetFault(sim::Fault::NoFrame);
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    Queue(kImage);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    EXPECT_EQ(Next(200), nullptr) << "no frame leaves the queue before a raw frame is read";
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Walk({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}), STATUS_SUCCESS);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));
    Set(PropTimeout, 3000);
}

// A pass that has just locked a frame when the application stops the pin: the stop must wait
// for it, or the reset that follows the stop meets a frame it cannot cancel.
TEST_F(PinStates, AStopWaitsForThePassHoldingAFrame) {
    host::SetLockedFrameDelay(20000);
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
        for (int i = 0; i < 3; ++i) {
            if (round == 0)
                Queue(kImage);
            else
                Requeue(frames_[size_t(i)].get());
        }
        ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
        ASSERT_NE(Next(), nullptr) << "round " << round;
        ASSERT_EQ(Walk({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}), STATUS_SUCCESS);
        for (int i = 1; i < 3; ++i)
            ASSERT_NE(Next(0), nullptr) << "the stop hands back every frame";
    }
    host::SetLockedFrameDelay(0);
}

TEST_F(PinStates, EveryAllocationFailureOfCreateAcquireAndRunLeavesAUsablePin) {
    std::vector<uint64_t> format = NegotiatedFormat();
    ForEachAllocationFailure(
        [&] {
            NTSTATUS status = host::CreatePin(filter_, 0, Format(format), &pin_);
            if (!NT_SUCCESS(status)) {
                pin_ = nullptr;
                EXPECT_EQ(context_->PinOpen, 0) << "a pin that failed frees the region";
                return status;
            }
            status = Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
            EXPECT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
            pin_ = nullptr;
            return status;
        },
        [](bool refused, NTSTATUS status) {
            if (!refused) {
                EXPECT_EQ(status, STATUS_SUCCESS);
            }
        });
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    Queue(kImage);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    EXPECT_NE(Next(), nullptr) << "the device still streams";
}

}  // namespace
