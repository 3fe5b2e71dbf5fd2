// The raw frame: the scene through the sensor's colour response, exposure and gain, optionally
// with noise.
#include "sim/frame_source.h"

#include <algorithm>
#include <cmath>

#include "sim/sim_camera.h"

namespace sim {

namespace {

constexpr double kFullFrameExposure = 524.0;  // rows of a whole frame time
constexpr double kGainStep = 128.0;           // gain units that add one times the light

// A small, fast generator; the same seed gives the same noise.
struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state >> 32);
    }
    // Roughly normal, mean 0, standard deviation 1 (sum of four uniforms).
    double Normal() {
        double sum = 0;
        for (int i = 0; i < 4; ++i)
            sum += Next() / 4294967296.0;
        return (sum - 2.0) * 1.7320508075688772;
    }
};

}  // namespace

double BrightnessFactor(unsigned exposure, unsigned gain) {
    return (double(exposure) / kFullFrameExposure) * (1.0 + double(gain) / kGainStep);
}

void RenderRawFrame(const Scene& scene, const FrameSettings& settings, std::vector<uint8_t>* out) {
    out->assign(kFrameBytes, 0);
    RenderOptions options;
    options.time = settings.time;
    options.brightness = BrightnessFactor(settings.exposure, settings.gain);
    RenderBayer(scene, int(kFrameWidth), int(kFrameHeight), kRGGB, options, out->data(),
                kFrameWidth);
    if (!settings.noise)
        return;
    // Read noise of one level plus shot noise growing with the square root of the signal.
    Random random(uint64_t(settings.noiseSeed) << 32 ^ settings.frameIndex);
    for (uint32_t i = 0; i < kFrameSamples; ++i) {
        double v = (*out)[i];
        double sigma = 1.0 + 0.25 * std::sqrt(v);
        double noisy = std::round(v + sigma * random.Normal());
        (*out)[i] = uint8_t(std::clamp(noisy, 0.0, 255.0));
    }
}

}  // namespace sim
