// The test scenes: what the simulated camera films and `bayercam convert --synthetic` shows.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "tests/imaging/test_support.h"

namespace {

TEST(Scene, PhaseTableMatchesThePipelinesNumbering) {
    // Row 0 and row 1, even and odd columns: 0 red, 1 green, 2 blue.
    const int expected[4][4] = {{1, 0, 2, 1}, {2, 1, 1, 0}, {0, 1, 1, 2}, {1, 2, 0, 1}};
    for (int phase = 0; phase < 4; ++phase) {
        EXPECT_EQ(sim::BayerColorAt(phase, 0, 0), expected[phase][0]) << phase;
        EXPECT_EQ(sim::BayerColorAt(phase, 1, 0), expected[phase][1]) << phase;
        EXPECT_EQ(sim::BayerColorAt(phase, 0, 1), expected[phase][2]) << phase;
        EXPECT_EQ(sim::BayerColorAt(phase, 1, 1), expected[phase][3]) << phase;
        EXPECT_EQ(sim::BayerColorAt(phase, 6, 4), expected[phase][0]) << phase;
        EXPECT_EQ(sim::BayerColorAt(phase, 7, 9), expected[phase][3]) << phase;
    }
    EXPECT_EQ(sim::BayerColorAt(7, 0, 1), 0);  // anything else acts as GBRG
    EXPECT_EQ(sim::BayerColorAt(-1, 1, 0), 2);
}

TEST(Scene, BarsMosaicIntoTheRightSamplesAndKeepThePitch) {
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("bars", &scene, &error)) << error;
    const int w = 64, h = 6;
    const size_t pitch = 70;
    std::vector<uint8_t> raw(pitch * h, 0xAB);
    sim::RenderBayer(scene, w, h, sim::kRGGB, {}, raw.data(), pitch);
    const auto& weight = sim::SensorColorResponse().weight;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t s = raw[y * pitch + x];
            int bar = x / 8, colour = sim::BayerColorAt(sim::kRGGB, x, y);
            // white, yellow, cyan, green, magenta, red, blue, black
            static const int on[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                         {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
            // Each photosite reads the bar's lit colours through its own weights.
            double light = 0.0;
            for (int k = 0; k < 3; ++k)
                light += on[bar][k] * weight[colour][k];
            ASSERT_EQ(s, std::lround(light * 255.0)) << x << "," << y;
        }
        for (size_t x = w; x < pitch; ++x)
            ASSERT_EQ(raw[y * pitch + x], 0xAB);
    }
    // The weights invert the pipeline's default correction C: the red photosite reads
    // 1.94 / det(C) = 0.768 of red light and 0.3572 / det(C) = 0.141 of green, det(C) = 2.5262.
    EXPECT_EQ(raw[5 * 8], 196);  // red sample of the red bar
    EXPECT_EQ(raw[3 * 8], 36);   // red sample of the green bar
    EXPECT_EQ(raw[0], 255);      // white stays white on every photosite
    EXPECT_EQ(raw[1], 255);
    EXPECT_EQ(raw[pitch + 1], 255);
    EXPECT_EQ(raw[pitch + 7 * 8 + 1], 0);  // black stays black
    // A quarter of the width per second: after two seconds bar 4 (magenta) leads.
    sim::RenderOptions later;
    later.time = 2.0;
    sim::RenderBayer(scene, w, h, sim::kRGGB, later, raw.data(), pitch);
    EXPECT_EQ(raw[0], 219);          // red sample of magenta: 0.768 + 0.091 of full scale
    EXPECT_EQ(raw[1], 61);           // green sample of magenta: crosstalk from red and blue
    EXPECT_EQ(raw[pitch + 1], 209);  // blue sample of magenta
}

TEST(Scene, BrightnessScalesAndClipsTheLight) {
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("chart", &scene, &error)) << error;
    sim::RgbImage one, half, twice;
    sim::RenderOptions o;
    sim::RenderScene(scene, 120, 80, o, &one);
    o.brightness = 0.5;
    sim::RenderScene(scene, 120, 80, o, &half);
    o.brightness = 2.0;
    sim::RenderScene(scene, 120, 80, o, &twice);
    ASSERT_EQ(one.pixels.size(), 120u * 80u);
    for (size_t i = 0; i < one.pixels.size(); ++i) {
        ASSERT_FLOAT_EQ(half.pixels[i].g, one.pixels[i].g * 0.5f);
    }
    std::vector<uint8_t> a(120 * 80), b(120 * 80);
    sim::MosaicBayer(one, sim::kGRBG, a.data(), 120);
    sim::MosaicBayer(twice, sim::kGRBG, b.data(), 120);
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_GE(b[i], std::min(255, 2 * a[i] - 1)) << i;
    // The chart has more than a handful of distinct patches, and a dark surround.
    EXPECT_EQ(a[0], 26);  // 0.10 * 255 rounded
}

TEST(Scene, ZonePlateMovesWithTimeAndIsDeterministic) {
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("zoneplate", &scene, &error)) << error;
    std::vector<uint8_t> a(100 * 100), b(100 * 100), c(100 * 100);
    sim::RenderOptions o;
    sim::RenderBayer(scene, 100, 100, sim::kBGGR, o, a.data(), 100);
    sim::RenderBayer(scene, 100, 100, sim::kBGGR, o, b.data(), 100);
    EXPECT_EQ(a, b);
    EXPECT_GE(a[50 * 100 + 50], 250);  // bright at the centre
    o.time = 0.25;
    sim::RenderBayer(scene, 100, 100, sim::kBGGR, o, c.data(), 100);
    EXPECT_NE(a, c);
}

TEST(Scene, LoadsPngPicturesAndRefusesWhatItCannotRead) {
    char path[] = "/tmp/bayercam-scene-XXXXXX.png";
    int fd = mkstemps(path, 4);
    ASSERT_GE(fd, 0);
    close(fd);
    const uint8_t rgb[2 * 2 * 3] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220};
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 2;
    image.height = 2;
    image.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, path, 0, rgb, 0, nullptr));

    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene(path, &scene, &error)) << error;
    std::vector<uint8_t> raw(4 * 4);
    sim::RenderBayer(scene, 4, 4, sim::kRGGB, {}, raw.data(), 4);
    // Each picture pixel covers 2 x 2 samples: R G / G B of that pixel, as the photosites
    // read it: (10, 20, 30) gives red 10 x 0.768 + 20 x 0.141 + 30 x 0.091 = 13.2.
    EXPECT_EQ(raw[0], 13);
    EXPECT_EQ(raw[1], 19);
    EXPECT_EQ(raw[4], 19);
    EXPECT_EQ(raw[5], 26);
    EXPECT_EQ(raw[2 * 4 + 2], 203);
    EXPECT_EQ(raw[3 * 4 + 3], 216);
    std::remove(path);

    EXPECT_FALSE(sim::LoadScene(path, &scene, &error));  // gone now
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_FALSE(sim::LoadScene("checkerboard", &scene, &error));
    EXPECT_NE(error.find("unknown scene"), std::string::npos);
}

// The sensor's crosstalk and the pipeline's default colour correction cancel: the chart,
// filmed and converted with default settings, shows each patch in the scene's own colour
// (measured in the middle half of each patch, away from the demosaic's edges), none of them
// clipped. With the correction off, the crosstalk shows as washed-out colours.
TEST(Scene, DefaultColourCorrectionUndoesTheSensorsCrosstalk) {
    const int w = 656, h = 494;
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("chart", &scene, &error)) << error;
    sim::RgbImage light;
    sim::RenderScene(scene, w, h, {}, &light);
    std::vector<uint8_t> raw(size_t(w) * h);
    sim::MosaicBayer(light, sim::kRGGB, raw.data(), w);

    double meanError[2];
    int clipped[2];
    for (int correction = 0; correction < 2; ++correction) {
        auto p = imaging_test::MakePipeline(w, h, sim::kRGGB);
        SetColorCorrection(p.get(), correction);
        std::vector<uint8_t> image(size_t(w) * h * 4);
        p->outputBuffer = image.data();
        ProcessRawFrame(p.get(), raw.data(), 0, w);
        p->outputBuffer = nullptr;

        double error = 0.0;
        clipped[correction] = 0;
        for (int patch = 0; patch < 24; ++patch) {
            // The chart's 6 x 4 cells inside a border of 0.04 of each side.
            const int column = patch % 6, row = patch / 6;
            const int x0 = int((0.04 + (column + 0.25) * 0.92 / 6) * w);
            const int x1 = int((0.04 + (column + 0.75) * 0.92 / 6) * w);
            const int y0 = int((0.04 + (row + 0.25) * 0.92 / 4) * h);
            const int y1 = int((0.04 + (row + 0.75) * 0.92 / 4) * h);
            const sim::RgbPixel truth = light.at((x0 + x1) / 2, (y0 + y1) / 2);
            const float expected[3] = {truth.r * 255.0f, truth.g * 255.0f, truth.b * 255.0f};
            double sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                for (int x = x0; x < x1; ++x) {
                    auto pixel = imaging_test::PixelAt(image, size_t(y) * w + x);
                    sum[0] += pixel.r;
                    sum[1] += pixel.g;
                    sum[2] += pixel.b;
                }
            }
            for (int c = 0; c < 3; ++c) {
                const double mean = sum[c] / ((x1 - x0) * (y1 - y0));
                error += std::abs(mean - expected[c]);
                const long level = std::lround(mean), wanted = std::lround(expected[c]);
                if ((level == 0 || level == 255) && level != wanted)
                    ++clipped[correction];
            }
        }
        meanError[correction] = error / (24 * 3);
    }
    EXPECT_LE(meanError[1], 4.0);
    EXPECT_EQ(clipped[1], 0);
    EXPECT_GT(meanError[0], 8.0) << "the correction has no crosstalk to undo";
    std::printf("chart, mean error in levels: %.2f corrected, %.2f uncorrected\n", meanError[1],
                meanError[0]);
}

}  // namespace
