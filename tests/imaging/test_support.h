// Shared by the imaging tests: a pipeline set up as the stream start sets it up, frames to
// feed it, and the scalar model's view of the same settings.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "imaging/bayer_routines.h"
#include "tests/imaging/reference.h"

namespace imaging_test {

struct PipelineDeleter {
    void operator()(ImagePipeline* p) const { DestroyImagePipeline(p); }
};
using PipelinePtr = std::unique_ptr<ImagePipeline, PipelineDeleter>;

// Created, sized and given its padded buffer; the phase set, everything else at defaults.
PipelinePtr MakePipeline(uint32_t width, uint32_t height, int32_t phase = 2);

// The tables to check: SSE2 always, AVX2 and AVX-512 when this processor runs them.
std::vector<const BayerRoutines*> RoutineTables();
const char* TableName(const BayerRoutines* routines);

// Converts through `routines` into a fresh output buffer followed by guard bytes, and fails
// the test if any guard byte changed. Returns the width * height * 4 image bytes.
std::vector<uint8_t> Convert(ImagePipeline* p, const BayerRoutines* routines,
                             const std::vector<uint8_t>& raw, uint32_t offset, uint32_t rowStep);

// What the scalar model needs from the pipeline's slots and matrix, before a frame.
reference::Settings SettingsOf(ImagePipeline* p);

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng, int low = 0, int high = 255);

// A width x height mosaic whose samples of each colour have the given value.
std::vector<uint8_t> PlaneFrame(uint32_t width, uint32_t height, int32_t phase, int red, int green,
                                int blue);

// Pixel x of an image as (blue, green, red, fourth).
struct Pixel {
    int b, g, r, a;
    bool operator==(const Pixel& o) const { return b == o.b && g == o.g && r == o.r && a == o.a; }
};
Pixel PixelAt(const std::vector<uint8_t>& image, size_t index);

}  // namespace imaging_test
