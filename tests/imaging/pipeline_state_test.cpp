// The pipeline record's memory, geometry and out-of-memory paths.
#include <gtest/gtest.h>

#include "driver/pool_tags.h"
#include "platform/host/host_control.h"
#include "tests/imaging/test_support.h"

namespace {

using imaging_test::PipelinePtr;

TEST(PipelineState, RecordAndBufferComeFromThePoolUnderTheirTags) {
    const size_t records = host::PoolLiveCount(kTagPipeline);
    const size_t buffers = host::PoolLiveCount(kTagFrameBuffer);
    ImagePipeline* p = CreateImagePipeline();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(host::PoolLiveCount(kTagPipeline), records + 1);
    SetFrameSize(p, 656, 494);
    EXPECT_EQ(p->rawPitch, 683u);
    EXPECT_EQ(p->rawBufferSize, 340134u);
    ASSERT_EQ(AllocateRawBuffer(p), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolLiveCount(kTagFrameBuffer), buffers + 1);
    EXPECT_EQ(p->imageOrigin, p->rawBuffer + 2 * 683 + 5);
    EXPECT_EQ(p->framePitch, 683);
    EXPECT_EQ(p->frameWidth, 656u);
    EXPECT_EQ(p->frameHeight, 494u);
    for (ULONG i = 0; i < p->rawBufferSize; ++i)
        ASSERT_EQ(p->rawBuffer[i], 0) << i;

    // A second allocation replaces the first; releasing twice is harmless.
    ASSERT_EQ(AllocateRawBuffer(p), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolLiveCount(kTagFrameBuffer), buffers + 1);
    ReleaseRawBuffer(p);
    ReleaseRawBuffer(p);
    EXPECT_EQ(p->rawBuffer, nullptr);
    EXPECT_EQ(host::PoolLiveCount(kTagFrameBuffer), buffers);

    ASSERT_EQ(AllocateRawBuffer(p), STATUS_SUCCESS);
    DestroyImagePipeline(p);  // takes the buffer with it
    EXPECT_EQ(host::PoolLiveCount(kTagPipeline), records);
    EXPECT_EQ(host::PoolLiveCount(kTagFrameBuffer), buffers);
    DestroyImagePipeline(nullptr);
}

TEST(PipelineState, PaddedGeometry) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    struct {
        ULONG w, h, pitch, size;
    } cases[] = {
        {656, 494, 683, 498 * 683},  // the sensor
        {650, 7, 667, 12 * 667},     // odd height: one more row
        {16, 1, 43, 6 * 43},        {15, 8, 27, 12 * 27}, {0, 0, 27, 4 * 27},
    };
    for (auto& c : cases) {
        SetFrameSize(p.get(), c.w, c.h);
        EXPECT_EQ(p->width, c.w);
        EXPECT_EQ(p->height, c.h);
        EXPECT_EQ(p->rawPitch, c.pitch) << c.w;
        EXPECT_EQ(p->rawBufferSize, c.size) << c.w << "x" << c.h;
    }
    // A buffer beyond 32 bits is refused rather than wrapped to a small one.
    SetFrameSize(p.get(), 0xFFFFFFF0u, 1000);
    EXPECT_EQ(p->rawBufferSize, 0u);
    EXPECT_EQ(AllocateRawBuffer(p.get()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(p->rawBuffer, nullptr);
    SetFrameSize(p.get(), 70000, 70000);
    EXPECT_EQ(p->rawBufferSize, 0u);
}

TEST(PipelineState, OutOfMemory) {
    host::PoolFailTag(kTagPipeline);
    EXPECT_EQ(CreateImagePipeline(), nullptr);
    host::PoolClearFaults();

    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    SetFrameSize(p.get(), 64, 16);
    ASSERT_EQ(AllocateRawBuffer(p.get()), STATUS_SUCCESS);
    // A failed reallocation leaves no buffer behind, and frames then change nothing.
    host::PoolFailTag(kTagFrameBuffer);
    EXPECT_EQ(AllocateRawBuffer(p.get()), STATUS_INSUFFICIENT_RESOURCES);
    host::PoolClearFaults();
    EXPECT_EQ(p->rawBuffer, nullptr);
    std::vector<uint8_t> out(64 * 16 * 4, 0x5A), raw(64 * 16, 200);
    p->outputBuffer = out.data();
    ProcessRawFrame(p.get(), raw.data(), 0, 64);
    p->outputBuffer = nullptr;
    EXPECT_EQ(out, std::vector<uint8_t>(64 * 16 * 4, 0x5A));
}

TEST(PipelineState, PlainSettersAndGettersKeepAnyValue) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    SetBayerPhase(p.get(), 7);
    SetColorEnable(p.get(), 0);
    SetWhiteBalanceAuto(p.get(), 5);
    SetRedGain(p.get(), 1);
    SetGreenGain(p.get(), 512);
    SetBlueGain(p.get(), 70000);
    EXPECT_EQ(GetBayerPhase(p.get()), 7);
    EXPECT_EQ(GetColorEnable(p.get()), 0);
    EXPECT_EQ(GetWhiteBalanceAuto(p.get()), 5);
    EXPECT_EQ(GetRedGain(p.get()), 1);
    EXPECT_EQ(GetGreenGain(p.get()), 512);
    EXPECT_EQ(GetBlueGain(p.get()), 70000);
}

}  // namespace
