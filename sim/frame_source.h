// What the sensor makes of the scene: one raw frame for given registers, time and noise.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/scene.h"

namespace sim {

struct FrameSettings {
    double time = 0.0;  // seconds since the camera started
    uint16_t exposure = 0;
    uint16_t gain = 0;
    bool noise = false;
    uint32_t noiseSeed = 1;
    uint64_t frameIndex = 0;  // noise differs from frame to frame
};

// Fills `out` with kFrameBytes: the RGGB samples, row after row, then zero padding.
void RenderRawFrame(const Scene& scene, const FrameSettings& settings, std::vector<uint8_t>* out);

}  // namespace sim
