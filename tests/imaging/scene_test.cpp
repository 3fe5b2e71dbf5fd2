// The test scenes: what the simulated camera films and `bayercam convert --synthetic` shows.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/scene.h"

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
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t s = raw[y * pitch + x];
            int bar = x / 8, colour = sim::BayerColorAt(sim::kRGGB, x, y);
            // white, yellow, cyan, green, magenta, red, blue, black
            static const int on[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                         {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
            ASSERT_EQ(s, on[bar][colour] ? 255 : 0) << x << "," << y;
        }
        for (size_t x = w; x < pitch; ++x)
            ASSERT_EQ(raw[y * pitch + x], 0xAB);
    }
    // A quarter of the width per second: after two seconds bar 4 (magenta) leads.
    sim::RenderOptions later;
    later.time = 2.0;
    sim::RenderBayer(scene, w, h, sim::kRGGB, later, raw.data(), pitch);
    EXPECT_EQ(raw[0], 255);          // red sample of magenta
    EXPECT_EQ(raw[1], 0);            // green sample of magenta
    EXPECT_EQ(raw[pitch + 1], 255);  // blue sample of magenta
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
    // Each picture pixel covers 2 x 2 samples: R G / G B of that pixel.
    EXPECT_EQ(raw[0], 10);
    EXPECT_EQ(raw[1], 20);
    EXPECT_EQ(raw[4], 20);
    EXPECT_EQ(raw[5], 30);
    EXPECT_EQ(raw[2 * 4 + 2], 200);
    EXPECT_EQ(raw[3 * 4 + 3], 220);
    std::remove(path);

    EXPECT_FALSE(sim::LoadScene(path, &scene, &error));  // gone now
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_FALSE(sim::LoadScene("checkerboard", &scene, &error));
    EXPECT_NE(error.find("unknown scene"), std::string::npos);
}

}  // namespace
