// A contact sheet: every tenth received frame of a stream (the 1st, 11th, 21st, ...), shrunk
// and laid out in a grid, so a whole run can be looked over in one picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tool {

class ContactSheet {
public:
    // `every`: one frame in that many goes on the sheet; `scale`: tiles are 1/scale of the
    // frame in each direction, each tile pixel the mean of a scale x scale block.
    explicit ContactSheet(int every = 10, int scale = 4) : every_(every), scale_(scale) {}

    // Whether the received frame with this ordinal (from 1) goes on the sheet.
    bool Wants(int64_t ordinal) const { return ordinal >= 1 && (ordinal - 1) % every_ == 0; }

    // Adds a tile made from a width x height frame of 4-byte pixels (blue, green, red, unused),
    // rows top to bottom. Frames smaller than one block in either direction are left out.
    void Add(const uint8_t* bgrx, uint32_t width, uint32_t height);

    size_t Tiles() const { return tiles_.size(); }

    // The sheet as 4-byte pixels, rows top to bottom: tiles left to right, then top to bottom,
    // ceil(sqrt(n)) of them in a row, kGap dark pixels around and between them. Empty (0 x 0)
    // without tiles.
    static constexpr uint32_t kGap = 4;
    static constexpr uint8_t kBackground = 32;
    std::vector<uint8_t> Compose(uint32_t* width, uint32_t* height) const;

private:
    struct Tile {
        uint32_t width;
        uint32_t height;
        std::vector<uint8_t> pixels;
    };
    int every_;
    int scale_;
    std::vector<Tile> tiles_;
};

}  // namespace tool
