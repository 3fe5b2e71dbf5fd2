#include "tests/imaging/test_support.h"

#include <gtest/gtest.h>

#include "platform/cpu_features.h"

namespace imaging_test {

PipelinePtr MakePipeline(uint32_t width, uint32_t height, int32_t phase) {
    PipelinePtr p(CreateImagePipeline());
    if (!p) {
        ADD_FAILURE() << "pipeline allocation failed";
        return p;
    }
    SetBayerPhase(p.get(), phase);
    SetFrameSize(p.get(), width, height);
    EXPECT_EQ(AllocateRawBuffer(p.get()), STATUS_SUCCESS);
    return p;
}

std::vector<const BayerRoutines*> RoutineTables() {
    std::vector<const BayerRoutines*> tables = {&kBayerRoutinesSse2};
    if (HostCpuHasAvx2())
        tables.push_back(&kBayerRoutinesAvx2);
    if (HostCpuHasAvx512())
        tables.push_back(&kBayerRoutinesAvx512);
    return tables;
}

const char* TableName(const BayerRoutines* routines) {
    return routines == &kBayerRoutinesAvx512 ? "AVX-512"
           : routines == &kBayerRoutinesAvx2 ? "AVX2"
                                             : "SSE2";
}

std::vector<uint8_t> Convert(ImagePipeline* p, const BayerRoutines* routines,
                             const std::vector<uint8_t>& raw, uint32_t offset, uint32_t rowStep) {
    const size_t size = size_t(p->frameWidth) * p->frameHeight * 4;
    constexpr size_t kGuard = 256;
    std::vector<uint8_t> out(size + kGuard, 0xA5);
    p->outputBuffer = out.data();
    ProcessRawFrameWith(p, routines, raw.data(), offset, rowStep);
    p->outputBuffer = nullptr;
    for (size_t i = size; i < out.size(); ++i) {
        if (out[i] != 0xA5) {
            ADD_FAILURE() << TableName(routines) << " wrote past the image at byte " << i - size;
            break;
        }
    }
    out.resize(size);
    return out;
}

reference::Settings SettingsOf(ImagePipeline* p) {
    reference::Settings s;
    s.phase = GetBayerPhase(p);
    s.color = GetColorEnable(p) != 0;
    s.autoWhiteBalance = GetWhiteBalanceAuto(p) != 0;
    s.gains[0] = uint32_t(GetRedGain(p));
    s.gains[1] = uint32_t(GetGreenGain(p));
    s.gains[2] = uint32_t(GetBlueGain(p));
    for (int k = 0; k < 16; ++k)
        s.matrix[k] = p->fixedMatrix[k];
    return s;
}

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng, int low, int high) {
    std::uniform_int_distribution<int> d(low, high);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(d(rng));
    return v;
}

std::vector<uint8_t> PlaneFrame(uint32_t width, uint32_t height, int32_t phase, int red, int green,
                                int blue) {
    static const char* const kPatterns[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};
    const char* pattern = kPatterns[phase >= 0 && phase <= 2 ? phase : 3];
    std::vector<uint8_t> v(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            char c = pattern[(y & 1) * 2 + (x & 1)];
            v[size_t(y) * width + x] = uint8_t(c == 'R' ? red : c == 'G' ? green : blue);
        }
    }
    return v;
}

Pixel PixelAt(const std::vector<uint8_t>& image, size_t index) {
    const uint8_t* p = &image[index * 4];
    return {p[0], p[1], p[2], p[3]};
}

}  // namespace imaging_test
