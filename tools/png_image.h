// PNG output of the command line.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

// Writes a width x height image of 4-byte pixels (blue, green, red, unused), rows top to
// bottom, as an 8-bit RGB PNG. On failure returns false with a one-line reason.
bool WriteRgbPng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgrx,
                 std::string* error);

// Whether the file at `path` begins with the PNG signature: a file that does not is refused
// by name before a reader reports its own, vaguer, error.
bool StartsLikePng(const std::string& path);

}  // namespace tool
