#include "tools/png_image.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace tool {

bool WriteRgbPng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgrx,
                 std::string* error) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        rgb[3 * i] = bgrx[4 * i + 2];
        rgb[3 * i + 1] = bgrx[4 * i + 1];
        rgb[3 * i + 2] = bgrx[4 * i];
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        *error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

bool StartsLikePng(const std::string& path) {
    png_byte signature[8] = {};
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    size_t got = std::fread(signature, 1, sizeof(signature), file);
    std::fclose(file);
    return got == sizeof(signature) && png_sig_cmp(signature, 0, sizeof(signature)) == 0;
}

}  // namespace tool
