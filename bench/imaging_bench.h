// Shared by the image pipeline's benchmarks: the test frame and the floor every result is
// compared with.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace imaging_bench {

constexpr uint32_t kWidth = 656;
constexpr uint32_t kHeight = 494;

// The colour chart filmed by an RGGB sensor, 656 x 494, one byte per sample.
const std::vector<uint8_t>& ChartFrame();

// Times the benchmark's loop and reports it as a multiple of the floor and of OpenCV's
// bilinear demosaic, both measured earlier in the same run (counters "xFloor", "xOpenCV").
class FloorRatio {
public:
    FloorRatio(benchmark::State& state, const char* name);
    ~FloorRatio();

private:
    benchmark::State& state_;
    const char* name_;
    int64_t start_;
};

#if BAYERCAM_BENCH_OPENCV
// The peer, in its own file so that the program builds without OpenCV.
void OpenCVBilinear(benchmark::State& state);
#endif

}  // namespace imaging_bench
