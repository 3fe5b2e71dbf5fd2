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

// Times the benchmark's loop and reports it as a multiple of the floor measured earlier in
// the same run (counter "xFloor").
class FloorRatio {
public:
    explicit FloorRatio(benchmark::State& state);
    ~FloorRatio();

private:
    benchmark::State& state_;
    int64_t start_;
};

#if BAYERCAM_BENCH_OPENCV
// The peer, in its own file so that the program builds without OpenCV.
void OpenCVBilinear(benchmark::State& state);
#endif

}  // namespace imaging_bench
