// Colour and grey conversion and the white-balance measurement on frames whose result is
// known by hand, through every routine table.
#include <gtest/gtest.h>

#include "tests/imaging/test_support.h"

namespace {

using imaging_test::Convert;
using imaging_test::MakePipeline;
using imaging_test::Pixel;
using imaging_test::PixelAt;
using imaging_test::PlaneFrame;
using imaging_test::RoutineTables;
using imaging_test::TableName;

// Every pixel of the image is `expected`.
void ExpectEverywhere(const std::vector<uint8_t>& image, Pixel expected, const char* what) {
    for (size_t i = 0; i < image.size() / 4; ++i) {
        Pixel p = PixelAt(image, i);
        if (!(p == expected)) {
            ADD_FAILURE() << what << ": pixel " << i << " is (" << p.b << "," << p.g << "," << p.r
                          << "," << p.a << "), expected (" << expected.b << "," << expected.g << ","
                          << expected.r << "," << expected.a << ")";
            return;
        }
    }
}

TEST(Conversion, FlatFramesWithDefaultSettings) {
    // The blue column of the default matrix sums to 65, not 64.
    const struct {
        int v;
        Pixel expected;
    } cases[] = {{100, {102, 100, 100, 255}},
                 {50, {51, 50, 50, 255}},
                 {128, {130, 128, 128, 255}},
                 {255, {255, 255, 255, 255}},
                 {0, {0, 0, 0, 255}}};
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(40, 10);
        for (auto& c : cases) {
            std::vector<uint8_t> raw(40 * 10, uint8_t(c.v));
            ExpectEverywhere(Convert(p.get(), routines, raw, 0, 40), c.expected,
                             TableName(routines));
        }
    }
}

TEST(Conversion, NeutralMatrixBrightnessAndContrast) {
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(24, 9);
        SetColorCorrection(p.get(), 0);
        for (int v : {0, 1, 77, 200, 255}) {
            std::vector<uint8_t> raw(24 * 9, uint8_t(v));
            ExpectEverywhere(Convert(p.get(), routines, raw, 0, 24), {v, v, v, 255}, "identity");
        }
        std::vector<uint8_t> mid(24 * 9, 90);
        SetBrightness(p.get(), 510);
        ExpectEverywhere(Convert(p.get(), routines, mid, 0, 24), {255, 255, 255, 255}, "510");
        SetBrightness(p.get(), 0);
        ExpectEverywhere(Convert(p.get(), routines, mid, 0, 24), {0, 0, 0, 255}, "0");
        SetBrightness(p.get(), 255);
        SetContrast(p.get(), 0);  // everything becomes 128 before the correction
        ExpectEverywhere(Convert(p.get(), routines, mid, 0, 24), {128, 128, 128, 255}, "flat");
    }
}

TEST(Conversion, RedPlaneOfTheSensorPattern) {
    // Red samples 200, green and blue 0: the demosaic gives r 200, g 0, b 0 everywhere,
    // the edges included.
    const auto raw = PlaneFrame(48, 12, 2, 200, 0, 0);
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(48, 12, 2);
        ExpectEverywhere(Convert(p.get(), routines, raw, 0, 48), {0, 0, 255, 255}, "default");
        SetColorCorrection(p.get(), 0);
        ExpectEverywhere(Convert(p.get(), routines, raw, 0, 48), {0, 0, 200, 255}, "identity");
    }
}

TEST(Conversion, GainsActBeforeTheMatrix) {
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(32, 8, 2);
        SetColorCorrection(p.get(), 0);
        SetRedGain(p.get(), 256);
        ExpectEverywhere(Convert(p.get(), routines, PlaneFrame(32, 8, 2, 100, 50, 40), 0, 32),
                         {40, 50, 200, 255}, "doubled");
        ExpectEverywhere(Convert(p.get(), routines, PlaneFrame(32, 8, 2, 200, 50, 40), 0, 32),
                         {40, 50, 255, 255}, "saturated");
        SetRedGain(p.get(), 128);
        SetBlueGain(p.get(), 64);
        SetGreenGain(p.get(), 65536 + 128);  // only the low 16 bits count
        ExpectEverywhere(Convert(p.get(), routines, PlaneFrame(32, 8, 2, 100, 50, 41), 0, 32),
                         {20, 50, 100, 255}, "halved");
        // The largest gains: any non-zero value saturates, zero stays zero.
        SetRedGain(p.get(), 65535);
        SetGreenGain(p.get(), 40000);
        SetBlueGain(p.get(), 32767);
        ExpectEverywhere(Convert(p.get(), routines, PlaneFrame(32, 8, 2, 1, 1, 0), 0, 32),
                         {0, 255, 255, 255}, "huge");
    }
}

TEST(Conversion, GreyOutput) {
    for (auto* routines : RoutineTables()) {
        auto p = MakePipeline(40, 8);
        SetColorEnable(p.get(), 0);
        const struct { int v, y; } cases[] = {{100, 99}, {128, 127}, {255, 253}, {0, 0}};
        for (auto& c : cases) {
            std::vector<uint8_t> raw(40 * 8, uint8_t(c.v));
            ExpectEverywhere(Convert(p.get(), routines, raw, 0, 40), {c.y, c.y, c.y, 255}, "grey");
        }
        // The matrix settings do not reach grey output.
        SetBrightness(p.get(), 0);
        SetContrast(p.get(), 20);
        SetSaturation(p.get(), 0);
        SetHue(p.get(), 120);
        SetColorCorrection(p.get(), 0);
        std::vector<uint8_t> raw(40 * 8, 100);
        ExpectEverywhere(Convert(p.get(), routines, raw, 0, 40), {99, 99, 99, 255}, "settings");
        // The gains do: red 255 at gain 64 is 127, and 38 + 149 + 28 = 215.
        SetRedGain(p.get(), 64);
        std::vector<uint8_t> white(40 * 8, 255);
        ExpectEverywhere(Convert(p.get(), routines, white, 0, 40), {215, 215, 215, 255}, "gain");
    }
}

TEST(Conversion, WhiteBalanceMeasurement) {
    const struct {
        int r, g, b;
        ULONG red, blue;
    } cases[] = {
        {90, 90, 90, 128, 128},  // flat
        {50, 100, 100, 256, 128},
        {200, 100, 50, 64, 256},
        {1, 255, 255, 32640, 128},
    };
    for (auto* routines : RoutineTables()) {
        for (int phase = 0; phase < 4; ++phase) {
            for (auto& c : cases) {
                auto p = MakePipeline(40, 10, phase);
                SetWhiteBalanceAuto(p.get(), 1);
                auto image =
                    Convert(p.get(), routines, PlaneFrame(40, 10, phase, c.r, c.g, c.b), 0, 40);
                EXPECT_EQ(ULONG(GetRedGain(p.get())), c.red) << c.r << " phase " << phase;
                EXPECT_EQ(GetGreenGain(p.get()), 128);
                EXPECT_EQ(ULONG(GetBlueGain(p.get())), c.blue) << c.b << " phase " << phase;
                EXPECT_EQ(p->frameRedGain, c.red);
                if (c.r == 1) {
                    // The frame is converted with the gain measured from it: 32640 * 1 >> 7
                    // is 255 before the matrix.
                    EXPECT_EQ(PixelAt(image, 45).r, 255);
                }
            }
        }
    }
}

}  // namespace
