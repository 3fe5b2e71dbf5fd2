// The frame read on a healthy camera: how the frame is cut into transfers, what the camera
// is told and when, and that the bytes land where they belong.
#include <cstring>

#include "driver/pool_tags.h"
#include "tests/usb/camera_fixture.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"

namespace {

class FrameRead : public CameraFixture {
protected:
    void SetUp() override {
        CameraFixture::SetUp();
        if (HasFatalFailure())
            return;
        Configure();
        SetFrameGeometry();
        buffer_.assign(sim::kFrameBytes + kGuard, kUntouched);
    }

    std::vector<sim::Transfer> FrameReads() const {
        std::vector<sim::Transfer> reads;
        for (const sim::Transfer& t : OnPipe(2)) {
            if (t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                reads.push_back(t);
        }
        return reads;
    }

    static constexpr size_t kGuard = 4096;
    static constexpr uint8_t kUntouched = 0xA5;
    host::PoolBuffer buffer_;
};

TEST_F(FrameRead, FullFrameIsFiveChunksQueuedBeforeStreamOn) {
    BOOLEAN ok = FALSE;
    context_->Ops->ReadFrame(context_, buffer_.data(), &ok);
    ASSERT_TRUE(ok);

    std::vector<sim::Transfer> reads = FrameReads();
    ASSERT_EQ(reads.size(), 5u);
    const ULONG expected[] = {65536, 65536, 65536, 65536, 63488};
    for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].asked, expected[i]) << "chunk " << i;
        EXPECT_EQ(reads[i].moved, expected[i]) << "chunk " << i;
        EXPECT_TRUE(reads[i].in);
        EXPECT_EQ(reads[i].transferFlags,
                  ULONG(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
        EXPECT_EQ(reads[i].urbLength, 128);
        EXPECT_EQ(reads[i].status, STATUS_SUCCESS);
    }

    // Stream off twice (the frame command, then stream control), then stream on only after
    // every read of the frame is with the bus driver.
    EXPECT_EQ(CommandCodes(), (std::vector<int>{0x02, 0x02, 0x03}));
    std::vector<sim::Transfer> all = Recorded();
    uint64_t streamOn = 0;
    for (const sim::Transfer& t : all) {
        if (t.pipe == 0 && !t.bytes.empty() && t.bytes[0] == 0x03)
            streamOn = t.sequence;
    }
    for (const sim::Transfer& t : reads)
        EXPECT_LT(t.sequence, streamOn);

    std::vector<uint8_t> sent = camera_->LastFrame();
    ASSERT_EQ(sent.size(), sim::kFrameBytes);
    EXPECT_EQ(memcmp(buffer_.data(), sent.data(), sent.size()), 0);
    for (size_t i = sim::kFrameBytes; i < buffer_.size(); ++i) {
        ASSERT_EQ(buffer_[i], kUntouched) << "written past the frame at " << i;
    }
    EXPECT_EQ(context_->Usb.Transfers, nullptr);
    EXPECT_EQ(context_->Usb.FrameMdl, nullptr);
    EXPECT_EQ(host::PoolLiveCount(kTagUsb), 3u) << "only the configuration stays allocated";
}

TEST_F(FrameRead, WholeChunksNeedNoShortTail) {
    SetFrameGeometry(262144);
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_SUCCESS);
    std::vector<sim::Transfer> reads = FrameReads();
    ASSERT_EQ(reads.size(), 4u);
    for (const sim::Transfer& t : reads)
        EXPECT_EQ(t.asked, 65536u);
    EXPECT_EQ(buffer_[262144], kUntouched);
}

TEST_F(FrameRead, NothingToReadWithoutConfigurationOrGeometry) {
    BOOLEAN ok = TRUE;
    SetFrameGeometry(0);
    context_->Ops->ReadFrame(context_, buffer_.data(), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_INVALID_DEVICE_STATE);
    SetFrameGeometry();
    EXPECT_EQ(ReadRawFrame(context_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(FrameReads().empty());

    FreeConfiguration(Usb());
    camera_->ClearTransfers();
    EXPECT_EQ(ReadRawFrame(context_, buffer_.data()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Recorded().empty()) << "an unconfigured device has no pipe to send on";
}

TEST(FrameWaitInterval, IsRelativeAndExactForEveryTimeout) {
    EXPECT_EQ(FrameWaitInterval(3000), -30000000LL);
    // Beyond 214748 ms a 32-bit product would wrap.
    EXPECT_EQ(FrameWaitInterval(214749), -2147490000LL);
    EXPECT_EQ(FrameWaitInterval(0x7FFFFFFF), -21474836470000LL);
    // Values with the top bit set are long waits, never negative milliseconds.
    EXPECT_EQ(FrameWaitInterval(LONG(0xFFFFFFFFu)), -42949672950000LL);
    EXPECT_EQ(FrameWaitInterval(LONG(0x80000000u)), -21474836480000LL);
}

}  // namespace
