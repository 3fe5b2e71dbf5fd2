// The peer: OpenCV's bilinear demosaic of the same frame to BGRA (BayerBG is OpenCV's name
// for an RGGB sensor), single thread. Built only when OpenCV is installed.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/imaging_bench.h"

namespace imaging_bench {

void OpenCVBilinear(benchmark::State& state) {
    cv::setNumThreads(0);
    auto& raw = const_cast<std::vector<uint8_t>&>(ChartFrame());
    cv::Mat bayer(int(kHeight), int(kWidth), CV_8UC1, raw.data());
    cv::Mat bgra(int(kHeight), int(kWidth), CV_8UC4);
    FloorRatio ratio(state, "OpenCVBilinear");
    for (auto _ : state) {
        cv::cvtColor(bayer, bgra, cv::COLOR_BayerBG2BGRA);
        benchmark::DoNotOptimize(bgra.data);
    }
}

}  // namespace imaging_bench
