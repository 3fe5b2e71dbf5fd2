// The pin's frames as JPEG pictures for a browser, encoded by libjpeg-turbo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Encodes a frame as the pin delivers it: 4 bytes a pixel (blue, green, red, unused), rows
    // packed, the last row first. False with the reason when the library refuses it or the
    // size is empty or does not match `pixels`.
    bool Encode(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height,
                std::vector<uint8_t>* jpeg, std::string* error);

private:
    void* handle_;  // the library's compressor, made once and kept for every frame
};

}  // namespace tool
