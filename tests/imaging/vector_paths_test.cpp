// Every routine table against the scalar model, byte for byte, on random frames: all four
// phases, colour, grey and measured gains, every width's last block, offsets and row steps,
// and settings up to the extremes where matrix sums pass 16 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/imaging/test_support.h"

namespace {

using imaging_test::Convert;
using imaging_test::MakePipeline;
using imaging_test::PlaneFrame;
using imaging_test::RandomBytes;
using imaging_test::RoutineTables;
using imaging_test::SettingsOf;
using imaging_test::TableName;

struct Frame {
    uint32_t width, height, offset, rowStep;
    std::vector<uint8_t> bytes;
};

Frame RandomFrame(uint32_t width, uint32_t height, uint32_t offset, uint32_t extra,
                  std::mt19937& rng, int low = 0, int high = 255) {
    Frame f{width, height, offset, width + extra, {}};
    f.bytes = RandomBytes(size_t(offset) + size_t(f.rowStep) * height + 3, rng, low, high);
    return f;
}

// Converts `frame` with the pipeline's current settings through every table and compares
// each image, and the gains used, with the model.
void ExpectMatchesModel(ImagePipeline* p, const Frame& frame, const std::string& what) {
    reference::Settings settings = SettingsOf(p);
    reference::RawImage raw{frame.bytes.data(), frame.offset, frame.rowStep, frame.width,
                            frame.height};
    reference::Result expected = reference::ProcessFrame(raw, settings);
    const LONG gains[3] = {GetRedGain(p), GetGreenGain(p), GetBlueGain(p)};
    for (auto* routines : RoutineTables()) {
        SetRedGain(p, gains[0]);
        SetGreenGain(p, gains[1]);
        SetBlueGain(p, gains[2]);
        auto image = Convert(p, routines, frame.bytes, frame.offset, frame.rowStep);
        ASSERT_EQ(image.size(), expected.image.size());
        for (size_t i = 0; i < image.size(); ++i) {
            if (image[i] != expected.image[i]) {
                size_t pixel = i / 4;
                FAIL() << TableName(routines) << " " << what << ": pixel (" << pixel % frame.width
                       << ", " << pixel / frame.width << ") byte " << i % 4 << " is "
                       << int(image[i]) << ", model " << int(expected.image[i]);
            }
        }
        EXPECT_EQ(p->frameRedGain, expected.gains[0]) << what;
        EXPECT_EQ(p->frameGreenGain, expected.gains[1]) << what;
        EXPECT_EQ(p->frameBlueGain, expected.gains[2]) << what;
    }
}

TEST(VectorPaths, SensorFrameAllPhasesAndModes) {
    std::mt19937 rng(1);
    Frame frame = RandomFrame(656, 494, 0, 0, rng);
    for (int32_t phase = 0; phase < 4; ++phase) {
        auto p = MakePipeline(656, 494, phase);
        ExpectMatchesModel(p.get(), frame, "colour phase " + std::to_string(phase));
        SetColorEnable(p.get(), 0);
        ExpectMatchesModel(p.get(), frame, "grey phase " + std::to_string(phase));
        SetColorEnable(p.get(), 1);
        SetWhiteBalanceAuto(p.get(), 1);
        ExpectMatchesModel(p.get(), frame, "measured phase " + std::to_string(phase));
    }
}

// Up to 128 columns: every width's last block after one whole 64-column block. Then widths
// where 64-column blocks first read the raw frame straight (from 130) and strips part.
TEST(VectorPaths, EveryWidthsLastBlockWithOffsetsAndRowSteps) {
    std::mt19937 rng(2);
    std::vector<uint32_t> widths;
    for (uint32_t width = 1; width <= 140; ++width)
        widths.push_back(width);
    for (uint32_t width : {200u, 255u, 257u, 270u, 321u})
        widths.push_back(width);
    for (uint32_t width : widths) {
        for (uint32_t height : {1u, 2u, 5u, 8u, 11u}) {
            int32_t phase = int32_t(rng() % 4);
            Frame frame = RandomFrame(width, height, rng() % 37, rng() % 19, rng);
            auto p = MakePipeline(width, height, phase);
            SetRedGain(p.get(), int32_t(rng() % 512) + 1);
            SetBlueGain(p.get(), int32_t(rng() % 512) + 1);
            std::string what = std::to_string(width) + "x" + std::to_string(height);
            ExpectMatchesModel(p.get(), frame, "colour " + what);
            SetColorEnable(p.get(), 0);
            ExpectMatchesModel(p.get(), frame, "grey " + what);
            SetWhiteBalanceAuto(p.get(), 1);
            ExpectMatchesModel(p.get(), frame, "measured grey " + what);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(VectorPaths, RandomSettings) {
    std::mt19937 rng(3);
    for (int i = 0; i < 60; ++i) {
        uint32_t width = 8 + rng() % 120, height = 8 + rng() % 20;
        auto p = MakePipeline(width, height, int32_t(rng() % 8));  // 4..7 act as 3
        SetColorCorrection(p.get(), int32_t(rng() % 3));
        SetBrightness(p.get(), int32_t(rng() % 511));
        SetContrast(p.get(), int32_t(rng() % 21));
        SetSaturation(p.get(), int32_t(rng() % 21));
        SetHue(p.get(), int32_t(rng() % 360));
        SetRedGain(p.get(), int32_t(rng() % 512) + 1);
        SetGreenGain(p.get(), int32_t(rng() % 512) + 1);
        SetBlueGain(p.get(), int32_t(rng() % 512) + 1);
        SetWhiteBalanceAuto(p.get(), int32_t(rng() % 2));
        Frame frame = RandomFrame(width, height, rng() % 5, rng() % 3, rng);
        ExpectMatchesModel(p.get(), frame, "setting set " + std::to_string(i));
        if (HasFatalFailure())
            return;
    }
}

// The shapes of matrix the routines treat apart: the colour-correction shape with and
// without constant terms, the identity (zeros off the diagonal), and mixed signs.
TEST(VectorPaths, MatrixShapes) {
    std::mt19937 rng(6);
    const struct {
        int32_t correction, brightness, contrast, saturation, hue;
    } shapes[] = {
        {1, 255, 10, 10, 0}, {1, 300, 10, 10, 0}, {1, 180, 13, 10, 0},  {0, 255, 10, 10, 0},
        {0, 400, 4, 10, 0},  {1, 255, 10, 4, 0},  {1, 255, 10, 10, 90}, {0, 255, 10, 10, 180},
    };
    for (auto& s : shapes) {
        auto p = MakePipeline(200, 9, 2);
        SetColorCorrection(p.get(), s.correction);
        SetBrightness(p.get(), s.brightness);
        SetContrast(p.get(), s.contrast);
        SetSaturation(p.get(), s.saturation);
        SetHue(p.get(), s.hue);
        ExpectMatchesModel(p.get(), RandomFrame(200, 9, 0, 0, rng),
                           "shape " + std::to_string(&s - shapes));
        SetBlueGain(p.get(), 200);
        ExpectMatchesModel(p.get(), RandomFrame(200, 9, 0, 0, rng),
                           "balanced shape " + std::to_string(&s - shapes));
    }
}

// Brightness 510, contrast 20 and saturation 20 on a bright frame: the positive and the
// negative sums both pass 65535, and only the difference of their separately shifted
// values, clamped, is right.
TEST(VectorPaths, MatrixSumsBeyondSixteenBits) {
    std::mt19937 rng(4);
    for (int32_t brightness : {510, 0}) {
        for (int32_t hue : {0, 200}) {
            auto p = MakePipeline(656, 40, 2);
            SetBrightness(p.get(), brightness);
            SetContrast(p.get(), 20);
            SetSaturation(p.get(), 20);
            SetHue(p.get(), hue);
            SetRedGain(p.get(), 512);
            FrameCoefficients c;
            SnapshotFixedMatrix(p.get());
            p->frameRedGain = p->frameGreenGain = p->frameBlueGain = 128;
            PrepareFrameCoefficients(p.get(), &c);
            EXPECT_TRUE(c.wideSums);
            ExpectMatchesModel(p.get(), RandomFrame(656, 40, 0, 0, rng, 180, 255), "bright");
            ExpectMatchesModel(p.get(), RandomFrame(656, 40, 0, 0, rng), "random");
            std::vector<uint8_t> white(656 * 40, 255);
            ExpectMatchesModel(p.get(), Frame{656, 40, 0, 656, white}, "white");
        }
    }
}

// With unit gains, the colour-correction shape of matrix without constants goes through
// byte multiply-adds where every negative coefficient fits a signed byte and no negative sum
// can pass 32767. No setting comes near that limit (the largest negative pair is 116), so
// the matrices are written directly: one just inside it, one past it each way (a coefficient
// of 128, a pair of 129), with the largest positive coefficient 16-bit sums allow.
TEST(VectorPaths, NegativeSumsAtTheByteLimit) {
    // Rows: input red, green, blue, constant; columns: output red, green, blue, unused.
    const LONG matrices[3][16] = {
        {200, -64, -100, 0, -127, 100, -28, 0, -1, -64, 250, 0, 0, 0, 0, 0},
        {180, -64, -10, 0, -128, 200, -10, 0, 0, -29, 257, 0, 0, 0, 0, 0},
        {180, -100, -10, 0, -100, 257, -10, 0, 0, -29, 257, 0, 0, 0, 0, 0},
    };
    std::mt19937 rng(7);
    for (const auto& m : matrices) {
        const std::string what = "matrix " + std::to_string(&m - matrices);
        auto p = MakePipeline(200, 10, 2);
        std::copy(m, m + 16, p->fixedMatrix);
        ExpectMatchesModel(p.get(), RandomFrame(200, 10, 0, 0, rng, 200, 255), "bright " + what);
        ExpectMatchesModel(p.get(), RandomFrame(200, 10, 0, 0, rng), "random " + what);
        // Red and blue 255 with green 150: a negative green sum of 32895 and a result in
        // range.
        const int planes[4][3] = {{255, 255, 255}, {255, 150, 255}, {0, 255, 255}, {255, 255, 0}};
        for (const auto& v : planes) {
            Frame frame{200, 10, 0, 200, PlaneFrame(200, 10, 2, v[0], v[1], v[2])};
            ExpectMatchesModel(p.get(), frame, "planes " + what);
        }
    }
}

// Out-of-range values reach the builders only through a caller that skipped the property
// clamps; the conversion must still be well defined and the same on every path.
TEST(VectorPaths, SettingsOutsideTheirRanges) {
    std::mt19937 rng(5);
    auto p = MakePipeline(100, 12, 1);
    SetBrightness(p.get(), -100000);
    SetContrast(p.get(), -300);
    SetHue(p.get(), 100000);
    ExpectMatchesModel(p.get(), RandomFrame(100, 12, 0, 0, rng), "wild");
}

}  // namespace
