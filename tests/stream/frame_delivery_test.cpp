// Frames as the client receives them: the image byte for byte as the pipeline converts the
// raw frame and the copy rules place it, and the header as the driver fills it.
#include <atomic>
#include <thread>

#include "imaging/image_pipeline.h"
#include "platform/cpu_features.h"
#include "platform/host/host_control.h"
#include "stream/pin.h"
#include "tests/stream/expected_image.h"
#include "tests/stream/streaming_camera.h"

namespace {

// At the camera's frame rate every pass finds the raw frame that asked for it, so no client
// frame comes back empty.
class FrameDelivery : public StreamingCamera {
protected:
    bool Paced() override { return true; }

    // Starts a stream of the region (x, y, w, h) at full exposure, with `count` frames queued.
    void Stream(LONG x, LONG y, LONG w, LONG h, bool clock = true, ULONG headerSize = 128,
                LONG extentChange = 0) {
        ASSERT_EQ(Set(PropExposure, 524), STATUS_SUCCESS);
        ASSERT_EQ(SetRoi(x, y, w, h), STATUS_SUCCESS);
        format_ = NegotiatedFormat();
        ASSERT_EQ(CreatePin(format_, clock), STATUS_SUCCESS);
        ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
        Queue(ULONG(LONG(Info(format_)->bmiHeader.biSizeImage) + extentChange), headerSize);
        ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    }

    // What the client should receive: the camera's (still) frame converted as a stream start
    // sets the pipeline up, then copied bottom-up or flipped.
    std::vector<uint8_t> Expected(bool flipH, bool flipV, ULONG stride) {
        return ExpectedImage(*context_, camera_->LastFrame(), nullptr, flipH, flipV, stride);
    }

    std::vector<uint64_t> format_;
};

// A region whose width is a multiple of 8 is converted straight into the frame (row 0 at the
// bottom unless FlipV) unless FlipH asks for a mirror; any other goes through the copy.
TEST_F(FrameDelivery, ImagesAreTheConvertedRawFrameInEveryOrientation) {
    const struct {
        LONG x, y, w, h, delivered;
    } regions[] = {
        {10, 4, 645, 100, 640},  // the image starts 2634 bytes into the raw frame
        {8, 6, 640, 96, 640},
    };
    for (const auto& r : regions) {
        SCOPED_TRACE(r.w);
        if (pin_) {
            ASSERT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
            pin_ = nullptr;
            for (auto& f : frames_)
                if (f->read)
                    host::FreeStreamRead(f->read), f->read = nullptr;
            frames_.clear();
            nextFrame_ = 0;
        }
        Stream(r.x, r.y, r.w, r.h);
        EXPECT_EQ(context_->OutputWidth, r.delivered);
        const struct { LONG flipH, flipV; } cases[] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
        for (const auto& c : cases) {
            ASSERT_EQ(Set(PropFlipH, c.flipH), STATUS_SUCCESS);
            ASSERT_EQ(Set(PropFlipV, c.flipV), STATUS_SUCCESS);
            // Frames converted before the change may still be on their way: take a later one.
            ClientFrame* f = nullptr;
            for (int i = 0; i < 3; ++i) {
                if (f)
                    Requeue(f);
                f = Next();
                ASSERT_NE(f, nullptr);
            }
            std::vector<uint8_t> expected = Expected(c.flipH, c.flipV, 0);
            ASSERT_EQ(f->head.header.DataUsed, ULONG(r.delivered * r.h * 4));
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f->data.begin()))
                << "flipH " << c.flipH << " flipV " << c.flipV;
            Requeue(f);
        }
    }
}

// A driver that uses wide vectors must convert in SSE2 when the kernel cannot save their
// state, to the same bytes (the kernel image saves it; the built-in driver needs no save).
TEST_F(FrameDelivery, FramesWhoseVectorStateCannotBeSavedAreTheSame) {
    const uint64_t refusedBefore = host::ExtendedStateSavesRefused();
    host::FailExtendedStateSave(STATUS_INSUFFICIENT_RESOURCES);
    Stream(10, 4, 645, 100);
    ClientFrame* f = Next();
    host::FailExtendedStateSave(STATUS_SUCCESS);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> expected = Expected(false, false, 0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f->data.begin()));
    if (host::ChosenDriverImage() && HostCpuHasAvx2()) {
        EXPECT_GT(host::ExtendedStateSavesRefused(), refusedBefore);
    }
    Requeue(f);
}

TEST_F(FrameDelivery, HeadersWithAndWithoutClockOrFrameInformation) {
    const struct {
        bool clock;
        ULONG headerSize;
        ULONG flags;
        bool pictureNumber;
    } cases[] = {
        {true, 128, 0x110, true},
        {true, 56, 0x110, false},
        {false, 128, 0, false},
    };
    for (const auto& c : cases) {
        Stream(0, 0, 656, 494, c.clock, c.headerSize);
        ClientFrame* f = Next();
        ASSERT_NE(f, nullptr);
        const KSSTREAM_HEADER& h = f->head.header;
        EXPECT_EQ(h.DataUsed, 1296256u);
        EXPECT_EQ(h.Duration, 333333);
        EXPECT_EQ(h.OptionsFlags, c.flags);
        EXPECT_EQ(h.PresentationTime.Time > 0, c.clock);
        EXPECT_EQ(h.PresentationTime.Numerator, 1u);
        EXPECT_EQ(f->head.info.PictureNumber > 0, c.pictureNumber) << c.headerSize;
        EXPECT_EQ(f->head.info.DropCount, 0);
        ASSERT_EQ(host::ClosePin(pin_), STATUS_SUCCESS);
        pin_ = nullptr;
        host::FreeStreamRead(f->read);
        f->read = nullptr;
        frames_.clear();
        nextFrame_ = 0;
    }
}

TEST_F(FrameDelivery, AFrameTooSmallForTheImageGetsNothing) {
    Stream(0, 0, 656, 494, true, 128, -4);
    ClientFrame* f = Next();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->head.header.DataUsed, 0u);
    EXPECT_EQ(f->data.back(), 0xEE);
    EXPECT_EQ(f->data.front(), 0xEE);
}

TEST_F(FrameDelivery, AWiderFormatSetsTheRowStepUntilClose) {
    ASSERT_EQ(Set(PropExposure, 524), STATUS_SUCCESS);
    format_ = NegotiatedFormat();
    ASSERT_EQ(CreatePin(format_), STATUS_SUCCESS);
    std::vector<uint64_t> wider = format_;
    Info(wider)->bmiHeader.biWidth = 750;
    Info(wider)->bmiHeader.biSizeImage = 750 * 494 * 4;
    struct {
        KSPROPERTY property;
    } request{};
    request.property.Set = KSPROPSETID_Connection;
    request.property.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    request.property.Flags = KSPROPERTY_TYPE_SET;
    ULONG returned = 0;
    ASSERT_EQ(host::KsPropertyRequest(pin_, &request, sizeof(request), Format(wider),
                                      Format(wider)->FormatSize, &returned),
              STATUS_SUCCESS);
    ASSERT_EQ(Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE}), STATUS_SUCCESS);
    Queue(750 * 494 * 4);
    ASSERT_EQ(Walk({KSSTATE_RUN}), STATUS_SUCCESS);
    ClientFrame* f = Next();
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> expected = Expected(false, false, 3000);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f->data.begin()))
        << "rows 3000 bytes apart, 2624 bytes each, the rest untouched";
}

TEST_F(FrameDelivery, SettingsChangeFromOtherThreadsWhileFramesFlow) {
    Stream(0, 0, 656, 494);
    Queue(1296256);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (LONG i = 0; !done; ++i) {
            Set(PropFlipH, i & 1);
            Set(PropBrightness, 200 + i % 100);
            Set(PropRedGain, 100 + i % 50);
            Set(PropWhiteBalance, (i / 7) & 1);
        }
    });
    // A pass that finds no full raw buffer (the camera outran it) releases its frame empty.
    int whole = 0, other = 0;
    for (int i = 0; i < 20; ++i) {
        ClientFrame* f = Next();
        ASSERT_NE(f, nullptr);
        ULONG used = f->head.header.DataUsed;
        whole += used == 1296256u;
        other += used != 1296256u && used != 0;
        Requeue(f);
    }
    done = true;
    changer.join();
    EXPECT_GT(whole, 0);
    EXPECT_EQ(other, 0);
}

}  // namespace
