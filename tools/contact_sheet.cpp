#include "tools/contact_sheet.h"

#include <algorithm>
#include <cmath>

namespace tool {

void ContactSheet::Add(const uint8_t* bgrx, uint32_t width, uint32_t height) {
    const uint32_t s = uint32_t(scale_);
    Tile tile{width / s, height / s, {}};
    if (tile.width == 0 || tile.height == 0)
        return;
    tile.pixels.resize(size_t(tile.width) * tile.height * 4);
    const uint32_t area = s * s;
    for (uint32_t ty = 0; ty < tile.height; ++ty) {
        for (uint32_t tx = 0; tx < tile.width; ++tx) {
            uint32_t sum[3] = {0, 0, 0};
            for (uint32_t y = ty * s; y < (ty + 1) * s; ++y) {
                const uint8_t* p = bgrx + (size_t(y) * width + size_t(tx) * s) * 4;
                for (uint32_t x = 0; x < s; ++x, p += 4) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            uint8_t* out = &tile.pixels[(size_t(ty) * tile.width + tx) * 4];
            for (int c = 0; c < 3; ++c)
                out[c] = uint8_t((sum[c] + area / 2) / area);  // rounded mean
            out[3] = 255;
        }
    }
    tiles_.push_back(std::move(tile));
}

std::vector<uint8_t> ContactSheet::Compose(uint32_t* width, uint32_t* height) const {
    *width = *height = 0;
    if (tiles_.empty())
        return {};
    uint32_t cellW = 0, cellH = 0;
    for (const Tile& t : tiles_) {
        cellW = std::max(cellW, t.width);
        cellH = std::max(cellH, t.height);
    }
    const uint32_t n = uint32_t(tiles_.size());
    uint32_t columns = uint32_t(std::ceil(std::sqrt(double(n))));
    while (columns * columns < n)  // guard against the square root's rounding
        ++columns;
    const uint32_t rows = (n + columns - 1) / columns;
    *width = columns * cellW + (columns + 1) * kGap;
    *height = rows * cellH + (rows + 1) * kGap;
    std::vector<uint8_t> sheet(size_t(*width) * *height * 4, kBackground);
    for (size_t i = 3; i < sheet.size(); i += 4)
        sheet[i] = 255;
    for (uint32_t i = 0; i < n; ++i) {
        const Tile& t = tiles_[i];
        const uint32_t left = kGap + (i % columns) * (cellW + kGap);
        const uint32_t top = kGap + (i / columns) * (cellH + kGap);
        for (uint32_t y = 0; y < t.height; ++y) {
            std::copy_n(&t.pixels[size_t(y) * t.width * 4], size_t(t.width) * 4,
                        &sheet[(size_t(top + y) * *width + left) * 4]);
        }
    }
    return sheet;
}

}  // namespace tool
