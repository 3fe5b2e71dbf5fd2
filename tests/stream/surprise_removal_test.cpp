// The camera unplugged while streaming: every request then fails at once. The stream ends, the
// capture thread neither hangs nor spins, and AVStream's part (the pin stopped and closed, the
// device stopped and removed) returns promptly with nothing left behind. The bus runs with
// chaos, as a loaded one does.
#include <chrono>
#include <thread>

#include "tests/stream/streaming_camera.h"

namespace {

using Clock = std::chrono::steady_clock;

class SurpriseRemoval : public StreamingCamera {
protected:
    bool Chaos() override { return true; }
};

TEST_F(SurpriseRemoval, UnplugWhileStreamingEndsTheStreamAndRemovesTheDevice) {
    std::vector<uint64_t> format = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format), STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    ULONG size = Info(format)->bmiHeader.biSizeImage;
    Queue(size);
    Queue(size);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        ClientFrame* f = Next();
        ASSERT_NE(f, nullptr);
        Requeue(f);
    }

    camera_->Unplug();
    camera_->ClearTransfers();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // A capture thread retrying a dead camera without rest would send thousands.
    EXPECT_LT(camera_->Transfers().size(), 400u) << "the capture thread spins";
    // A frame whose raw data was read before the unplug may still be delivered; none after.
    while (ClientFrame* f = Next(0))
        Requeue(f);
    EXPECT_EQ(Next(100), nullptr) << "no image comes from an unplugged camera";

    // AVStream stops the pin: the application's queued frames come back, cancelled.
    Clock::time_point start = Clock::now();
    ASSERT_EQ(Walk({KSSTATE_STOP}), STATUS_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    for (auto& frame : frames_) {
        NTSTATUS status;
        ASSERT_TRUE(host::WaitStreamRead(frame->read, 100, &status));
        EXPECT_EQ(frame->head.header.DataUsed, 0u);
    }
    start = Clock::now();
    ASSERT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
    pin_ = nullptr;
    CloseAndStop();
    host::RemoveDevice(device_);
    device_ = nullptr;
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
