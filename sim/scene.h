// Test scenes for the simulated camera and for `bayercam convert --synthetic`.
//
// A scene is light falling on the sensor: linear RGB, 0.0 = black, 1.0 = the level that
// makes a sample read 255. It is rendered at any size and then mosaicked into 8-bit Bayer
// samples, one byte per sample, in any of the four phases the image pipeline knows.
//
// As on a real colour sensor, a photosite does not see its own colour alone: its filter
// passes some of the other two and light leaks in from its neighbours (crosstalk), so each
// sample mixes the scene's red, green and blue (SensorColorResponse). The mix is the one the
// driver's default colour correction undoes, so with the pipeline's default settings a scene
// comes out in its own colours; without the correction it comes out washed out.
//
//   sim::Scene scene;
//   std::string error;
//   if (!sim::LoadScene("chart", &scene, &error)) ...;     // or "bars", "zoneplate", "x.png"
//   sim::RenderOptions options;                            // time 0 s, brightness 1.0
//   options.time = frameNumber / 30.0;                     // moving scenes move with time
//   std::vector<uint8_t> raw(656 * 494);
//   sim::RenderBayer(scene, 656, 494, sim::kRGGB, options, raw.data(), 656);
//
// Built-in scenes:
//   "bars"      eight vertical colour bars (white, yellow, cyan, green, magenta, red, blue,
//               black); they scroll to the left by a quarter of the width per second.
//   "chart"     a 6 x 4 chart of colour patches on a dark grey surround, with a grey ramp in
//               its bottom row; it stands still.
//   "zoneplate" a grey circular zone plate whose rings run outwards as time passes.
// Any name ending in ".png" (case-insensitive) is read as a picture with libpng (at most
// kMaxPictureSide in either direction) and stretched to the rendered size; its 8-bit values are
// taken as linear light (value / 255), so a picture passed through the camera and the pipeline
// (default colour correction) comes out looking like itself.
//
// Rendering is deterministic: the same scene, size, options and phase give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The pipeline's phase numbers: which colour the first two samples of the first two rows
// carry. Any other value is treated as kGBRG, as the pipeline does.
enum BayerPhase : int {
    kGRBG = 0,  // G R / B G
    kBGGR = 1,  // B G / G R
    kRGGB = 2,  // R G / G B (the camera's sensor)
    kGBRG = 3,  // G B / R G
};

// Colour index (0 red, 1 green, 2 blue) of the sample at column x, row y for a phase.
int BayerColorAt(int phase, int x, int y);

struct RgbPixel {
    float r, g, b;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<RgbPixel> pixels;  // row-major, width * height

    const RgbPixel& at(int x, int y) const { return pixels[size_t(y) * size_t(width) + x]; }
};

struct Scene {
    std::string name;  // the built-in name, or the PNG's path
    RgbImage picture;  // PNG scenes only: the picture as loaded
};

struct RenderOptions {
    double time = 0.0;        // seconds; moving scenes are at their start at 0
    double brightness = 1.0;  // scales the light (exposure times gain); 2.0 is twice as bright
};

// The largest PNG scene, in either direction: far beyond any frame it is rendered into.
constexpr uint32_t kMaxPictureSide = 8192;

// The names of the built-in scenes, in a fixed order.
const std::vector<std::string>& BuiltInSceneNames();

// Makes a built-in scene, or loads a PNG. On failure returns false with a one-line reason.
bool LoadScene(const std::string& nameOrPngPath, Scene* scene, std::string* error);

// Renders the scene at width x height into `out`, resized as needed (empty if either is 0).
void RenderScene(const Scene& scene, int width, int height, const RenderOptions& options,
                 RgbImage* out);

// The sensor's colour response: weight[c][k] is the share of the scene's light of colour k
// (0 red, 1 green, 2 blue) that a photosite of colour c reads. The weights are the inverse
// of the pipeline's default colour-correction matrix: all positive, each row summing to 1 so
// grey light reads the same on every photosite.
struct ColorResponse {
    double weight[3][3];
};
const ColorResponse& SensorColorResponse();

// Samples the image into Bayer samples: one byte per pixel, the colour the phase puts
// there, read through SensorColorResponse (the weighted sum of the pixel's red, green and
// blue), light 0.0..1.0 mapped linearly to 0..255 (rounded, clipped). Row y starts at
// out + y * pitch; pitch must be at least image.width. Bytes between rows are not touched.
void MosaicBayer(const RgbImage& image, int phase, uint8_t* out, size_t pitch);

// RenderScene followed by MosaicBayer.
void RenderBayer(const Scene& scene, int width, int height, int phase, const RenderOptions& options,
                 uint8_t* out, size_t pitch);

}  // namespace sim
