// The region of interest: alignment and clamping into the sensor, the freeze while a pin
// exists, and the video data range that advertises the resulting image.
#include <climits>
#include <cstring>
#include <tuple>
#include <vector>

#include "tests/common/driver_form.h"
#include "control/region_of_interest.h"
#include "tests/common/arrived_device.h"

namespace {

constexpr GUID kVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
constexpr GUID kRgb32 = {STATIC_MEDIASUBTYPE_RGB32};
constexpr GUID kVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct Region {
    LONG x, y, w, h, outW;
};

Region RegionOf(const DeviceContext* c) {
    return {c->RoiX, c->RoiY, c->RoiW, c->RoiH, c->OutputWidth};
}

// Everything the range advertises about the image size must agree with the device.
void ExpectRangeAdvertises(LONG w, LONG h) {
    const KS_DATARANGE_VIDEO& r = DriverVideoRange();
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
    const KS_VIDEOINFOHEADER& info = r.VideoInfoHeader;
    EXPECT_EQ(r.DataRange.SampleSize, ULONG(w * h * 4));
    for (const SIZE* s : {&caps.InputSize, &caps.MinCroppingSize, &caps.MaxCroppingSize,
                          &caps.MinOutputSize, &caps.MaxOutputSize}) {
        EXPECT_EQ(s->cx, w);
        EXPECT_EQ(s->cy, h);
    }
    EXPECT_EQ(caps.MinFrameInterval, 333333);
    EXPECT_EQ(caps.MaxFrameInterval, 333333);
    EXPECT_EQ(caps.MinBitsPerSecond, w * h * 960);
    EXPECT_EQ(caps.MaxBitsPerSecond, w * h * 960);
    EXPECT_EQ(info.rcSource.left, 0);
    EXPECT_EQ(info.rcSource.top, 0);
    EXPECT_EQ(info.rcSource.right, w);
    EXPECT_EQ(info.rcSource.bottom, h);
    EXPECT_EQ(info.dwBitRate, ULONG(w * h * 120));
    EXPECT_EQ(info.AvgTimePerFrame, 333333);
    EXPECT_EQ(info.bmiHeader.biWidth, w);
    EXPECT_EQ(info.bmiHeader.biHeight, h);
    EXPECT_EQ(info.bmiHeader.biSizeImage, ULONG(w * h * 4));
}

using RegionOfInterest = ArrivedDevice;

TEST_F(RegionOfInterest, FullFrameAfterArrivalWithFixedFormatFields) {
    ExpectRangeAdvertises(656, 494);
    const KS_DATARANGE_VIDEO& r = DriverVideoRange();
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.Reserved, 0u);
    EXPECT_TRUE(SameGuid(r.DataRange.MajorFormat, kVideo));
    EXPECT_TRUE(SameGuid(r.DataRange.SubFormat, kRgb32));
    EXPECT_TRUE(SameGuid(r.DataRange.Specifier, kVideoInfo));
    EXPECT_TRUE(SameGuid(r.ConfigCaps.guid, kVideoInfo));
    EXPECT_EQ(r.bFixedSizeSamples, 1);
    EXPECT_EQ(r.bTemporalCompression, 1);
    EXPECT_EQ(r.StreamDescriptionFlags, 0u);
    EXPECT_EQ(r.MemoryAllocationFlags, 0u);
    EXPECT_EQ(r.ConfigCaps.VideoStandard, 0u);
    EXPECT_EQ(r.ConfigCaps.CropGranularityX, 8);
    EXPECT_EQ(r.ConfigCaps.CropGranularityY, 1);
    EXPECT_EQ(r.ConfigCaps.CropAlignX, 8);
    EXPECT_EQ(r.ConfigCaps.CropAlignY, 1);
    EXPECT_EQ(r.ConfigCaps.OutputGranularityX, 8);
    EXPECT_EQ(r.ConfigCaps.OutputGranularityY, 1);
    EXPECT_EQ(r.ConfigCaps.StretchTapsX | r.ConfigCaps.StretchTapsY | r.ConfigCaps.ShrinkTapsX |
                  r.ConfigCaps.ShrinkTapsY,
              0);
    const RECT& target = r.VideoInfoHeader.rcTarget;
    EXPECT_EQ(target.left | target.top | target.right | target.bottom, 0);
    EXPECT_EQ(r.VideoInfoHeader.dwBitErrorRate, 0u);
    const KS_BITMAPINFOHEADER& bmi = r.VideoInfoHeader.bmiHeader;
    EXPECT_EQ(bmi.biSize, 40u);
    EXPECT_EQ(bmi.biPlanes, 1);
    EXPECT_EQ(bmi.biBitCount, 32);
    EXPECT_EQ(bmi.biCompression, 0u);
    EXPECT_EQ(bmi.biXPelsPerMeter | bmi.biYPelsPerMeter, 0);
    EXPECT_EQ(bmi.biClrUsed | bmi.biClrImportant, 0u);
}

TEST_F(RegionOfInterest, AlignsAndClampsAsDocumented) {
    struct Case {
        LONG x, y, w, h;
        Region expected;
    };
    const Case cases[] = {
        {0, 0, 0, 0, {0, 0, 656, 494, 656}},          // zero sizes mean the full frame
        {649, 0, 656, 494, {648, 0, 8, 494, 8}},      // odd x rounds up, then clamps to 648
        {5, 0, 100, 494, {6, 0, 100, 494, 96}},       // output width rounds down to 8
        {0, 300, 656, 400, {0, 300, 656, 194, 656}},  // height stops at the sensor's edge
        {0, 0, 656, 1000, {0, 0, 656, 494, 656}},     // too tall is the full height
        {0, 0, 645, 100, {0, 0, 645, 100, 640}},
        {-7, -3, -1, -5, {0, 0, 656, 494, 656}},  // negatives: origin and full sensor
        {2, 487, 3, 9, {2, 486, 3, 8, 0}},        // a width below 8 delivers nothing
    };
    for (const Case& c : cases) {
        SetRegionOfInterest(context_, c.x, c.y, c.w, c.h);
        Region got = RegionOf(context_);
        EXPECT_EQ(std::tie(got.x, got.y, got.w, got.h, got.outW),
                  std::tie(c.expected.x, c.expected.y, c.expected.w, c.expected.h, c.expected.outW))
            << "SetRegionOfInterest(" << c.x << ", " << c.y << ", " << c.w << ", " << c.h << ")";
        EXPECT_EQ(context_->OutputHeight, c.expected.h);
        ExpectRangeAdvertises(c.expected.outW, c.expected.h);
    }
}

TEST_F(RegionOfInterest, AdvertisesTheRoundedDownSize) {
    SetRegionOfInterest(context_, 0, 0, 645, 100);
    EXPECT_EQ(DriverVideoRange().DataRange.SampleSize, 256000u);
    EXPECT_EQ(DriverVideoRange().ConfigCaps.MaxBitsPerSecond, 61440000);
    EXPECT_EQ(DriverVideoRange().VideoInfoHeader.dwBitRate, 7680000u);
    EXPECT_EQ(DriverVideoRange().VideoInfoHeader.bmiHeader.biSizeImage, 256000u);
}

TEST_F(RegionOfInterest, ResetsSubsamplingAndTheSensorWindow) {
    context_->SubSample = 3;
    context_->WindowX = 10;
    context_->WindowY = 20;
    context_->WindowWidth = 30;
    context_->WindowHeight = 40;
    SetRegionOfInterest(context_, 10, 10, 100, 100);
    EXPECT_EQ(context_->SubSample, 0);
    EXPECT_EQ(context_->WindowX, 0);
    EXPECT_EQ(context_->WindowY, 0);
    EXPECT_EQ(context_->WindowWidth, 656);
    EXPECT_EQ(context_->WindowHeight, 494);
}

TEST_F(RegionOfInterest, FrozenWhileAPinExists) {
    SetRegionOfInterest(context_, 10, 20, 300, 200);
    KS_DATARANGE_VIDEO rangeBefore = DriverVideoRange();
    Region before = RegionOf(context_);
    context_->SubSample = 5;

    InterlockedExchange(&context_->PinOpen, 1);
    SetRegionOfInterest(context_, 0, 0, 0, 0);
    SetRegionOfInterest(context_, 100, 100, 8, 8);
    Region after = RegionOf(context_);
    EXPECT_EQ(std::tie(after.x, after.y, after.w, after.h, after.outW),
              std::tie(before.x, before.y, before.w, before.h, before.outW));
    EXPECT_EQ(context_->SubSample, 5);
    EXPECT_EQ(std::memcmp(&rangeBefore, &DriverVideoRange(), sizeof(DriverVideoRange())), 0);

    InterlockedExchange(&context_->PinOpen, 0);
    SetRegionOfInterest(context_, 0, 0, 0, 0);
    ExpectRangeAdvertises(656, 494);
}

// Any 32-bit request, however hostile, yields a region inside the sensor with an even origin.
// The host build runs this under UBSan too, so an overflow in the arithmetic fails here.
TEST_F(RegionOfInterest, EveryRequestLandsInsideTheSensor) {
    const std::vector<LONG> values = {INT_MIN, INT_MIN + 1, -656, -2,   -1,          0,      1,
                                      2,       7,           8,    9,    485,         486,    487,
                                      493,     494,         495,  647,  648,         649,    650,
                                      655,     656,         657,  1000, INT_MAX - 1, INT_MAX};
    for (LONG x : values) {
        for (LONG w : values) {
            LONG y = w, h = x;
            SetRegionOfInterest(context_, x, y, w, h);
            const DeviceContext& c = *context_;
            ASSERT_EQ(c.RoiX % 2, 0);
            ASSERT_EQ(c.RoiY % 2, 0);
            ASSERT_GE(c.RoiX, 0);
            ASSERT_LE(c.RoiX, 648);
            ASSERT_GE(c.RoiY, 0);
            ASSERT_LE(c.RoiY, 486);
            ASSERT_GE(c.RoiW, 1);
            ASSERT_LE(c.RoiX + c.RoiW, 656) << x << "," << y << "," << w << "," << h;
            ASSERT_GE(c.RoiH, 1);
            ASSERT_LE(c.RoiY + c.RoiH, 494) << x << "," << y << "," << w << "," << h;
            ASSERT_EQ(c.OutputWidth, c.RoiW - c.RoiW % 8);
            ASSERT_EQ(c.OutputHeight, c.RoiH);
            ASSERT_EQ(DriverVideoRange().VideoInfoHeader.bmiHeader.biWidth, c.OutputWidth);
            ASSERT_EQ(DriverVideoRange().VideoInfoHeader.bmiHeader.biHeight, c.OutputHeight);
        }
    }
}

}  // namespace
