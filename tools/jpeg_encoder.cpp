#include "tools/jpeg_encoder.h"

#include <turbojpeg.h>

namespace tool {
namespace {

// Good enough to judge settings by eye, small enough for a stream of 30 a second.
constexpr int kQuality = 85;
// No side of a frame the pin delivers comes near this; anything larger is not a frame.
constexpr uint32_t kMaxSide = 16384;

}  // namespace

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (handle_)
        tjDestroy(handle_);
}

bool JpegEncoder::Encode(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height,
                         std::vector<uint8_t>* jpeg, std::string* error) {
    if (!handle_) {
        *error = "the JPEG encoder could not be made";
        return false;
    }
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide ||
        pixels.size() != size_t(width) * height * 4) {
        *error = "a " + std::to_string(width) + " x " + std::to_string(height) + " frame of " +
                 std::to_string(pixels.size()) + " bytes cannot be encoded";
        return false;
    }
    unsigned char* out = nullptr;
    unsigned long size = 0;
    int failed = tjCompress2(handle_, pixels.data(), int(width), int(width) * 4, int(height),
                             TJPF_BGRX, &out, &size, TJSAMP_420, kQuality, TJFLAG_BOTTOMUP);
    if (failed == 0 && out)
        jpeg->assign(out, out + size);
    else
        *error = std::string("JPEG encoding: ") + tjGetErrorStr2(handle_);
    tjFree(out);
    return failed == 0 && out;
}

}  // namespace tool
