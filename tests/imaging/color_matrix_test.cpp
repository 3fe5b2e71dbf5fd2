// The colour matrices and their fixed-point product.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/host/host_control.h"
#include "tests/imaging/test_support.h"

namespace {

using imaging_test::PipelinePtr;

std::vector<int32_t> Fixed(ImagePipeline* p) {
    return std::vector<int32_t>(p->fixedMatrix, p->fixedMatrix + 16);
}

std::vector<int32_t> Expected(int32_t correction, int32_t brightness, int32_t contrast,
                              int32_t saturation, int32_t hue) {
    int32_t m[16];
    reference::FixedMatrix(correction, brightness, contrast, saturation, hue, m);
    return std::vector<int32_t>(m, m + 16);
}

TEST(ColorMatrix, DefaultIsTheCorrectionMatrix) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    EXPECT_EQ(Fixed(p.get()),
              (std::vector<int32_t>{87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}));
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(p->hueMatrix[i][j], i == j ? 1.0 : 0.0);  // exactly, before any rebuild
        }
    }
    EXPECT_EQ(GetBrightness(p.get()), 255);
    EXPECT_EQ(GetContrast(p.get()), 10);
    EXPECT_EQ(GetSaturation(p.get()), 10);
    EXPECT_EQ(GetColorCorrection(p.get()), 1);
    EXPECT_EQ(GetColorEnable(p.get()), 1);
    EXPECT_EQ(GetRedGain(p.get()), 128);
    EXPECT_EQ(GetWhiteBalanceAuto(p.get()), 0);
    EXPECT_EQ(GetBayerPhase(p.get()), 0);
}

TEST(ColorMatrix, EachSettingAlone) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    SetColorCorrection(p.get(), 0);
    EXPECT_EQ(Fixed(p.get()),
              (std::vector<int32_t>{64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64}));

    SetBrightness(p.get(), 510);
    EXPECT_EQ(p->fixedMatrix[12], 16320);
    EXPECT_EQ(p->fixedMatrix[14], 16320);
    SetBrightness(p.get(), 0);
    EXPECT_EQ(p->fixedMatrix[13], -16320);
    SetBrightness(p.get(), 100000);  // acts as 510
    EXPECT_EQ(p->fixedMatrix[12], 16320);
    SetBrightness(p.get(), 255);

    SetContrast(p.get(), 20);  // k = 2, t = -128
    EXPECT_EQ(p->fixedMatrix[0], 128);
    EXPECT_EQ(p->fixedMatrix[12], -8192);
    SetContrast(p.get(), 0);  // k = 0, t = 128: every channel 128
    EXPECT_EQ(p->fixedMatrix[0], 0);
    EXPECT_EQ(p->fixedMatrix[5], 0);
    EXPECT_EQ(p->fixedMatrix[12], 8192);
    SetContrast(p.get(), 10);

    SetSaturation(p.get(), 0);  // three equal columns of luminance weights
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(p->fixedMatrix[0 * 4 + j], 20);  // 0.3086 * 64
        EXPECT_EQ(p->fixedMatrix[1 * 4 + j], 39);  // 0.6094 * 64
        EXPECT_EQ(p->fixedMatrix[2 * 4 + j], 5);   // 0.0820 * 64
    }
    SetSaturation(p.get(), 20);         // s = 2
    EXPECT_EQ(p->fixedMatrix[0], 108);  // (0.3086 * -1 + 2) * 64
    EXPECT_EQ(p->fixedMatrix[1], -20);
    SetSaturation(p.get(), 10);

    SetHue(p.get(), 360);  // a full turn, within single-precision noise of no rotation
    EXPECT_EQ(Fixed(p.get()),
              (std::vector<int32_t>{64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64}));
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(p->hueMatrix[i][j], i == j, 1e-6);
    }
}

TEST(ColorMatrix, EveryWholeDegreeHueMatchesTheDoublePrecisionSine) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    // Strong saturation and contrast magnify the rotation, so a one-unit difference in a
    // sine or cosine would show in the rounded matrix more often.
    SetSaturation(p.get(), 20);
    SetContrast(p.get(), 17);
    for (int32_t hue = 0; hue < 360; ++hue) {
        SetHue(p.get(), hue);
        ASSERT_EQ(Fixed(p.get()), Expected(1, 255, 17, 20, hue)) << "hue " << hue;
    }
    SetSaturation(p.get(), 10);
    SetContrast(p.get(), 10);
    for (int32_t hue = 0; hue < 360; ++hue) {
        SetHue(p.get(), hue);
        ASSERT_EQ(Fixed(p.get()), Expected(1, 255, 10, 10, hue)) << "hue " << hue;
    }
}

TEST(ColorMatrix, EverySettingCombinationSampleMatchesTheModel) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
        int32_t cc = int32_t(rng() % 2), b = int32_t(rng() % 511), c = int32_t(rng() % 21),
                s = int32_t(rng() % 21), h = int32_t(rng() % 360);
        SetColorCorrection(p.get(), cc);
        SetBrightness(p.get(), b);
        SetContrast(p.get(), c);
        SetSaturation(p.get(), s);
        SetHue(p.get(), h);
        ASSERT_EQ(Fixed(p.get()), Expected(cc, b, c, s, h))
            << cc << " " << b << " " << c << " " << s << " " << h;
    }
}

TEST(ColorMatrix, HalvesRoundAwayFromZero) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    SetColorCorrection(p.get(), 0);
    // Plant entries in one factor; any builder recomputes the product from all of them.
    p->saturationMatrix[0][1] = 0.5 / 64;
    p->saturationMatrix[0][2] = -0.5 / 64;
    p->saturationMatrix[1][0] = 1.5 / 64;
    p->saturationMatrix[1][2] = -1.5 / 64;
    p->saturationMatrix[2][0] = 0.49 / 64;
    BuildBrightnessMatrix(p.get(), 255);
    EXPECT_EQ(p->fixedMatrix[1], 1);
    EXPECT_EQ(p->fixedMatrix[2], -1);
    EXPECT_EQ(p->fixedMatrix[4], 2);
    EXPECT_EQ(p->fixedMatrix[6], -2);
    EXPECT_EQ(p->fixedMatrix[8], 0);
}

TEST(ColorMatrix, SettersRebuildOnlyOnChange) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    // A planted entry survives exactly as long as no rebuild of its matrix runs.
    struct Case {
        void (*set)(ImagePipeline*, LONG);
        ColorMatrix ImagePipeline::*matrix;
        LONG current, next;
    } cases[] = {
        {SetColorCorrection, &ImagePipeline::colorCorrectionMatrix, 1, 0},
        {SetBrightness, &ImagePipeline::brightnessMatrix, 255, 300},
        {SetContrast, &ImagePipeline::contrastMatrix, 10, 12},
        {SetSaturation, &ImagePipeline::saturationMatrix, 10, 3},
        {SetHue, &ImagePipeline::hueMatrix, 0, 90},
    };
    for (auto& c : cases) {
        (p.get()->*c.matrix)[0][1] = 7.0;
        c.set(p.get(), c.current);
        EXPECT_EQ((p.get()->*c.matrix)[0][1], 7.0) << "rebuilt for an unchanged value";
        c.set(p.get(), c.next);
        EXPECT_NE((p.get()->*c.matrix)[0][1], 7.0) << "not rebuilt for a new value";
        (p.get()->*c.matrix)[0][1] = 7.0;
        c.set(p.get(), c.next);
        EXPECT_EQ((p.get()->*c.matrix)[0][1], 7.0) << "rebuilt twice for one value";
    }
    EXPECT_EQ(GetColorCorrection(p.get()), 0);
    EXPECT_EQ(GetBrightness(p.get()), 300);
    EXPECT_EQ(GetHue(p.get()), 90);
    // Builders leave the slots alone.
    BuildContrastMatrix(p.get(), 20);
    EXPECT_EQ(GetContrast(p.get()), 12);
    EXPECT_EQ(p->contrastMatrix[0][0], 2.0);
}

TEST(ColorMatrix, RebuildsRunInsideCriticalRegionsAndRestoreTheIrql) {
    PipelinePtr p(CreateImagePipeline());
    ASSERT_TRUE(p);
    SetHue(p.get(), 45);
    EXPECT_EQ(host::CriticalRegionDepth(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A frame converted while settings change sees the fixed matrix of one rebuild or the
// other, never a mixture of both.
TEST(ColorMatrix, FramesNeverSeeHalfARebuild) {
    auto p = imaging_test::MakePipeline(16, 8);
    ASSERT_TRUE(p);
    const auto correctionOn = Expected(1, 255, 10, 10, 0);
    const auto correctionOff = Expected(0, 255, 10, 10, 0);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; !stop; ++i)
            SetColorCorrection(p.get(), i & 1);
    });
    const std::vector<uint8_t> raw(16 * 8, 77);
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> out(16 * 8 * 4);
        p->outputBuffer = out.data();
        ProcessRawFrame(p.get(), raw.data(), 0, 16);
        auto seen = std::vector<int32_t>(p->frameMatrix, p->frameMatrix + 16);
        if (seen != correctionOn && seen != correctionOff) {
            ADD_FAILURE() << "frame " << i << " used a mixed matrix";
            break;
        }
    }
    stop = true;
    setter.join();
    p->outputBuffer = nullptr;
}

}  // namespace
