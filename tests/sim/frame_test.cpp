// Frames on pipe 2: one raw frame per stream-on, spread over the queued reads in order, and
// what the exposure and gain registers do to it.
#include <gtest/gtest.h>

#include <memory>

#include "sim/frame_source.h"
#include "tests/sim/usb_client.h"

namespace {

class SimFrames : public testing::Test {
protected:
    void Start(sim::CameraOptions options = Unpaced()) {
        camera = MakeCamera(options);
        usb = std::make_unique<UsbClient>(camera.get());
        ASSERT_EQ(usb->Configure(nullptr), STATUS_SUCCESS);
    }
    static sim::CameraOptions Unpaced() {
        sim::CameraOptions options;
        options.paced = false;
        options.scene = "chart";
        options.moving = false;
        return options;
    }
    // Queues reads of these lengths, as the frame read does, then stream on.
    std::vector<std::unique_ptr<AsyncRead>> ReadFrame(std::vector<ULONG> lengths) {
        std::vector<std::unique_ptr<AsyncRead>> reads;
        EXPECT_EQ(usb->Send(Packet({0x02})), STATUS_SUCCESS);
        for (ULONG length : lengths) {
            reads.push_back(std::make_unique<AsyncRead>(usb.get(), 2, length));
            EXPECT_EQ(reads.back()->Start(), STATUS_PENDING);
        }
        EXPECT_EQ(usb->Send(Packet({0x03})), STATUS_SUCCESS);
        return reads;
    }
    void SetRegister(unsigned reg, unsigned value) {
        ASSERT_EQ(usb->Send(Packet(
                      {0x04, 0x20, UCHAR(reg >> 8), UCHAR(reg), UCHAR(value >> 8), UCHAR(value)})),
                  STATUS_SUCCESS);
    }

    std::unique_ptr<sim::Camera> camera;
    std::unique_ptr<UsbClient> usb;
};

TEST_F(SimFrames, OneFrameFillsFiveQueuedReadsInOrder) {
    Start();
    auto reads = ReadFrame({65536, 65536, 65536, 65536, 63488});
    std::vector<UCHAR> received;
    for (auto& read : reads) {
        ASSERT_TRUE(read->Wait(10000));
        EXPECT_EQ(read->status, STATUS_SUCCESS);
        EXPECT_EQ(read->moved, read->buffer.size());
        received.insert(received.end(), read->buffer.begin(), read->buffer.end());
    }
    ASSERT_EQ(received.size(), sim::kFrameBytes);
    EXPECT_EQ(received, camera->LastFrame());
    EXPECT_EQ(camera->FramesSent(), 1u);
    EXPECT_FALSE(camera->Streaming());
    // Samples first, zero padding after them.
    for (size_t i = sim::kFrameSamples; i < sim::kFrameBytes; ++i)
        ASSERT_EQ(received[i], 0);
    size_t nonZero = 0;
    for (size_t i = 0; i < sim::kFrameSamples; ++i)
        nonZero += received[i] != 0;
    EXPECT_GT(nonZero, sim::kFrameSamples / 2);

    auto transfers = camera->Transfers();
    int frameReads = 0;
    for (const auto& t : transfers) {
        if (t.pipe != 2)
            continue;
        EXPECT_TRUE(t.in);
        EXPECT_EQ(t.moved, t.asked);
        EXPECT_TRUE(t.bytes.empty());  // frame data is not kept
        ++frameReads;
    }
    EXPECT_EQ(frameReads, 5);
}

// Inline delivery sends the same frame as the bus thread does, but before the request that
// makes the data available returns: the stream on, or a read queued while a frame is sent.
TEST_F(SimFrames, InlineFramesArriveInsideTheRequestsThatReleaseThem) {
    Start();
    auto threaded = ReadFrame({sim::kFrameBytes});
    ASSERT_TRUE(threaded[0]->Wait(10000));

    sim::CameraOptions options = Unpaced();
    options.inlineFrames = true;
    options.synchronousCompletion = true;
    options.timeWork = true;
    Start(options);
    for (int frame = 0; frame < 2; ++frame) {  // the second one is the kept still frame
        auto reads = ReadFrame({262144, 65536});
        ASSERT_TRUE(reads[0]->Done());
        ASSERT_TRUE(reads[1]->Done());
        EXPECT_EQ(reads[1]->moved, sim::kFrameBytes - 262144u);
        std::vector<UCHAR> received = reads[0]->buffer;
        received.insert(received.end(), reads[1]->buffer.begin(),
                        reads[1]->buffer.begin() + reads[1]->moved);
        EXPECT_EQ(received, threaded[0]->buffer);
    }
    // A frame started with too few reads goes on into a read queued later, inside its call.
    auto first = ReadFrame({65536});
    ASSERT_TRUE(first[0]->Done());
    AsyncRead rest(usb.get(), 2, sim::kFrameBytes);
    EXPECT_EQ(rest.Start(), STATUS_PENDING);
    ASSERT_TRUE(rest.Done());
    EXPECT_EQ(rest.moved, sim::kFrameBytes - 65536u);
    EXPECT_EQ(camera->FramesSent(), 3u);

    sim::WorkCounters work = camera->Work();
    EXPECT_EQ(work.copiedBytes, 3u * sim::kFrameBytes);
    EXPECT_GT(work.copyNs, 0);
    EXPECT_GT(work.requestNs, work.copyNs);
    EXPECT_GT(work.requests, 10u);
}

TEST_F(SimFrames, ReadsBeyondTheFrameWaitForTheNextOne) {
    Start();
    auto reads = ReadFrame({262144, 65536, 65536});
    ASSERT_TRUE(reads[0]->Wait(10000));
    ASSERT_TRUE(reads[1]->Wait(10000));
    EXPECT_EQ(reads[0]->moved, 262144u);
    EXPECT_EQ(reads[1]->moved, sim::kFrameBytes - 262144u);  // the frame ends short
    EXPECT_FALSE(reads[2]->Wait(50));
    EXPECT_EQ(camera->PendingReads(2), 1u);
    // The next stream-on starts a new frame into the waiting read.
    ASSERT_EQ(usb->Send(Packet({0x03})), STATUS_SUCCESS);
    ASSERT_TRUE(reads[2]->Wait(10000));
    EXPECT_EQ(reads[2]->moved, 65536u);
}

TEST_F(SimFrames, StreamOffDropsTheRestOfAFrame) {
    Start();
    auto first = ReadFrame({65536});
    ASSERT_TRUE(first[0]->Wait(10000));
    ASSERT_EQ(usb->Send(Packet({0x02})), STATUS_SUCCESS);
    EXPECT_FALSE(camera->Streaming());
    AsyncRead late(usb.get(), 2, 65536);
    EXPECT_EQ(late.Start(), STATUS_PENDING);
    EXPECT_FALSE(late.Wait(50));
    EXPECT_EQ(camera->FramesSent(), 0u);
}

TEST_F(SimFrames, AbortPipeEndsItsPendingReads) {
    Start();
    AsyncRead a(usb.get(), 2, 65536);
    AsyncRead b(usb.get(), 2, 65536);
    ASSERT_EQ(a.Start(), STATUS_PENDING);
    ASSERT_EQ(b.Start(), STATUS_PENDING);
    EXPECT_EQ(usb->PipeRequest(URB_FUNCTION_ABORT_PIPE, 2), STATUS_SUCCESS);
    ASSERT_TRUE(a.Done());
    ASSERT_TRUE(b.Done());
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(b.usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(camera->PendingReads(2), 0u);
}

TEST_F(SimFrames, SurpriseRemovalEndsWhatIsPending) {
    Start();
    auto read = std::make_unique<AsyncRead>(usb.get(), 2, 65536);
    ASSERT_EQ(read->Start(), STATUS_PENDING);
    usb.reset();
    camera.reset();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->usbdStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(SimFrames, PacedFrameArrives) {
    sim::CameraOptions options = Unpaced();
    options.paced = true;
    Start(options);
    auto reads = ReadFrame({sim::kFrameBytes});
    ASSERT_TRUE(reads[0]->Wait(10000));
    EXPECT_EQ(reads[0]->moved, sim::kFrameBytes);
}

TEST_F(SimFrames, BrightnessFollowsExposureAndGain) {
    Start();
    auto Frame = [&] {
        auto reads = ReadFrame({sim::kFrameBytes});
        EXPECT_TRUE(reads[0]->Wait(10000));
        return reads[0]->buffer;
    };
    SetRegister(0x9A, 262);
    auto half = Frame();
    SetRegister(0x9A, 524);
    auto full = Frame();
    SetRegister(4, 128);
    auto doubled = Frame();
    long sumHalf = 0, sumFull = 0, sumDoubled = 0;
    for (size_t i = 0; i < sim::kFrameSamples; ++i) {
        sumHalf += half[i];
        sumFull += full[i];
        sumDoubled += doubled[i];
        // Half the exposure gives half the level, to rounding.
        ASSERT_LE(std::abs(int(full[i]) - 2 * int(half[i])), 1) << "sample " << i;
        ASSERT_GE(doubled[i], full[i]);
    }
    EXPECT_LT(sumHalf, sumFull);
    EXPECT_LT(sumFull, sumDoubled);
}

TEST(SimBrightness, FactorIsMonotonicInExposureAndGain) {
    EXPECT_DOUBLE_EQ(sim::BrightnessFactor(524, 0), 1.0);
    EXPECT_DOUBLE_EQ(sim::BrightnessFactor(262, 0), 0.5);
    EXPECT_DOUBLE_EQ(sim::BrightnessFactor(524, 128), 2.0);
    EXPECT_DOUBLE_EQ(sim::BrightnessFactor(0, 1023), 0.0);
    for (unsigned e = 2; e < 524; e += 37) {
        for (unsigned g = 0; g < 1023; g += 101) {
            EXPECT_LT(sim::BrightnessFactor(e, g), sim::BrightnessFactor(e + 1, g));
            EXPECT_LT(sim::BrightnessFactor(e, g), sim::BrightnessFactor(e, g + 1));
        }
    }
}

TEST(SimNoise, NoiseIsRepeatableAndVariesBetweenFrames) {
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("chart", &scene, &error));
    sim::FrameSettings settings;
    settings.exposure = 524;
    std::vector<uint8_t> clean, noisy, again, next;
    sim::RenderRawFrame(scene, settings, &clean);
    settings.noise = true;
    sim::RenderRawFrame(scene, settings, &noisy);
    sim::RenderRawFrame(scene, settings, &again);
    settings.frameIndex = 1;
    sim::RenderRawFrame(scene, settings, &next);
    EXPECT_NE(clean, noisy);
    EXPECT_EQ(noisy, again);
    EXPECT_NE(noisy, next);
    long difference = 0;
    for (size_t i = 0; i < sim::kFrameSamples; ++i)
        difference += std::abs(noisy[i] - clean[i]);
    // On average a few levels, not a different picture.
    EXPECT_LT(difference / long(sim::kFrameSamples), 8);
    for (size_t i = sim::kFrameSamples; i < sim::kFrameBytes; ++i)
        ASSERT_EQ(noisy[i], 0);
}

}  // namespace
