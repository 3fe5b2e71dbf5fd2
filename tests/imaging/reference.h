// A plain scalar model of the image pipeline, written straight from the definitions and
// independent of the driver's code: one pixel at a time, wide integers, the margins worked
// out per sample instead of copied. Every vector path must match it byte for byte, and the
// benchmark measures it as the scalar baseline.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

struct RawImage {
    const uint8_t* data = nullptr;
    uint32_t offset = 0;   // bytes to the image's first sample
    uint32_t rowStep = 0;  // bytes from one row's first sample to the next
    uint32_t width = 0;
    uint32_t height = 0;
};

struct Settings {
    int32_t phase = 2;  // 0 GRBG, 1 BGGR, 2 RGGB, anything else GBRG
    bool color = true;
    bool autoWhiteBalance = false;
    uint32_t gains[3] = {128, 128, 128};  // red, green, blue, as the pipeline's slots hold them
    int32_t matrix[16] = {};              // the fixed matrix, row-major
};

struct Result {
    std::vector<uint8_t> image;  // width * height pixels of blue, green, red, 255
    uint32_t gains[3];           // the gains the frame was converted with
};

Result ProcessFrame(const RawImage& raw, const Settings& settings);

// The same settings -> fixed matrix computation as the pipeline's, with the host's
// (float)sin((double)x) and (float)cos((double)x) as the single-precision sine and cosine.
void FixedMatrix(int32_t colorCorrection, int32_t brightness, int32_t contrast, int32_t saturation,
                 int32_t hue, int32_t out[16]);

}  // namespace reference
