// The image pipeline on one 656 x 494 frame, single thread, default settings, against the
// least any conversion must do: read the raw frame and write the output image.
#include "bench/imaging_bench.h"
#include "bench/bench_main.h"

#include <time.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "imaging/bayer_routines.h"
#include "platform/cpu_features.h"
#include "platform/host/host_control.h"
#include "sim/scene.h"
#include "tests/imaging/reference.h"

namespace imaging_bench {

namespace {

double floorNanoseconds = 0.0;
// Per-frame CPU time of every benchmark that ran, by name, for the targets table.
std::map<std::string, double> frameNanoseconds;

// Thread CPU time: the ratios stay meaningful on a machine busy with other work.
int64_t Now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A pipeline as a stream start leaves it, default settings, with its output image.
struct Stream {
    ImagePipeline* pipeline = nullptr;
    std::vector<uint8_t> image;

    explicit Stream(bool colour) : image(size_t(kWidth) * kHeight * 4) {
        pipeline = CreateImagePipeline();
        SetBayerPhase(pipeline, 2);
        SetColorEnable(pipeline, colour ? 1 : 0);
        SetFrameSize(pipeline, kWidth, kHeight);
        AllocateRawBuffer(pipeline);
        pipeline->outputBuffer = image.data();
    }
    ~Stream() { DestroyImagePipeline(pipeline); }
};

enum class Isa { kSse2, kAvx2, kAvx512 };

const BayerRoutines* Table(benchmark::State& state, Isa isa) {
    switch (isa) {
        case Isa::kSse2:
            return &kBayerRoutinesSse2;
        case Isa::kAvx2:
            if (HostCpuHasAvx2())
                return &kBayerRoutinesAvx2;
            state.SkipWithError("this processor has no AVX2");
            return nullptr;
        case Isa::kAvx512:
            if (HostCpuHasAvx512())
                return &kBayerRoutinesAvx512;
            state.SkipWithError("this processor has no AVX-512BW and VBMI");
            return nullptr;
    }
    return nullptr;
}

void Floor(benchmark::State& state) {
    const auto& raw = ChartFrame();
    std::vector<uint8_t> copy(raw.size()), image(size_t(kWidth) * kHeight * 4);
    const int64_t start = Now();
    for (auto _ : state) {
        std::memcpy(copy.data(), raw.data(), raw.size());
        std::memset(image.data(), 0xFF, image.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    floorNanoseconds = double(Now() - start) / double(state.iterations());
    state.counters["xFloor"] = 1.0;
}

void ColorScalar(benchmark::State& state) {
    const auto& raw = ChartFrame();
    Stream stream(true);
    reference::Settings settings;
    settings.phase = 2;
    std::copy(stream.pipeline->fixedMatrix, stream.pipeline->fixedMatrix + 16, settings.matrix);
    reference::RawImage image{raw.data(), 0, kWidth, kWidth, kHeight};
    FloorRatio ratio(state, "ColorScalar");
    for (auto _ : state) {
        auto result = reference::ProcessFrame(image, settings);
        benchmark::DoNotOptimize(result.image.data());
    }
}

// ProcessRawFrame with one table; the pool must see no allocation per frame.
void Process(benchmark::State& state, const char* name, bool colour, Isa isa) {
    const BayerRoutines* routines = Table(state, isa);
    if (!routines)
        return;
    const auto& raw = ChartFrame();
    Stream stream(colour);
    const uint64_t allocations = host::PoolSequence();
    {
        FloorRatio ratio(state, name);
        for (auto _ : state) {
            ProcessRawFrameWith(stream.pipeline, routines, raw.data(), 0, kWidth);
            benchmark::DoNotOptimize(stream.image.data());
            benchmark::ClobberMemory();
        }
    }
    if (host::PoolSequence() != allocations)
        state.SkipWithError("the pool was used per frame");
}

// The measurement alone, on a frame already in the padded buffer.
void Measure(benchmark::State& state, const char* name, Isa isa) {
    const BayerRoutines* routines = Table(state, isa);
    if (!routines)
        return;
    Stream stream(true);
    LoadRawFrame(stream.pipeline, ChartFrame().data(), 0, kWidth);
    ULONG gains[3] = {128, 128, 128};
    FloorRatio ratio(state, name);
    for (auto _ : state) {
        routines->MeasureWhiteBalance[2](stream.pipeline, &gains[0], &gains[1], &gains[2]);
        benchmark::DoNotOptimize(gains);
    }
}

void ColorSSE2(benchmark::State& state) {
    Process(state, "ColorSSE2", true, Isa::kSse2);
}
void ColorAVX2(benchmark::State& state) {
    Process(state, "ColorAVX2", true, Isa::kAvx2);
}
void ColorAVX512(benchmark::State& state) {
    Process(state, "ColorAVX512", true, Isa::kAvx512);
}
void GreySSE2(benchmark::State& state) {
    Process(state, "GreySSE2", false, Isa::kSse2);
}
void GreyAVX2(benchmark::State& state) {
    Process(state, "GreyAVX2", false, Isa::kAvx2);
}
void GreyAVX512(benchmark::State& state) {
    Process(state, "GreyAVX512", false, Isa::kAvx512);
}
void AutoWhiteBalanceSSE2(benchmark::State& state) {
    Measure(state, "AutoWhiteBalanceSSE2", Isa::kSse2);
}
void AutoWhiteBalanceAVX2(benchmark::State& state) {
    Measure(state, "AutoWhiteBalanceAVX2", Isa::kAvx2);
}
void AutoWhiteBalanceAVX512(benchmark::State& state) {
    Measure(state, "AutoWhiteBalanceAVX512", Isa::kAvx512);
}

}  // namespace

const std::vector<uint8_t>& ChartFrame() {
    static const std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> raw(size_t(kWidth) * kHeight);
        sim::Scene scene;
        std::string error;
        sim::LoadScene("chart", &scene, &error);
        sim::RenderBayer(scene, int(kWidth), int(kHeight), sim::kRGGB, {}, raw.data(), kWidth);
        return raw;
    }();
    return frame;
}

FloorRatio::FloorRatio(benchmark::State& state, const char* name)
    : state_(state), name_(name), start_(Now()) {}

FloorRatio::~FloorRatio() {
    if (state_.iterations() == 0 || state_.error_occurred())
        return;
    const double perFrame = double(Now() - start_) / double(state_.iterations());
    frameNanoseconds[name_] = perFrame;
    if (floorNanoseconds > 0.0)
        state_.counters["xFloor"] = perFrame / floorNanoseconds;
    auto peer = frameNanoseconds.find("OpenCVBilinear");
    if (peer != frameNanoseconds.end())
        state_.counters["xOpenCV"] = perFrame / peer->second;
}

namespace {

// The speed targets, as ratios to the peer measured in the same run.
void PrintTargets() {
    auto peer = frameNanoseconds.find("OpenCVBilinear");
    if (peer == frameNanoseconds.end())
        return;
    const struct {
        const char* name;
        double limit;
    } targets[] = {{"ColorSSE2", 1.6}, {"ColorAVX2", 0.8}, {"ColorAVX512", 0.55}};
    std::printf("\n%-14s %10s %10s %8s %8s\n", "target", "us", "xOpenCV", "limit", "");
    for (const auto& t : targets) {
        auto it = frameNanoseconds.find(t.name);
        if (it == frameNanoseconds.end())
            continue;
        const double ratio = it->second / peer->second;
        std::printf("%-14s %10.1f %10.2f %8.2f %8s\n", t.name, it->second / 1000.0, ratio, t.limit,
                    ratio <= t.limit ? "met" : "missed");
    }
}

}  // namespace

// Floor and the peer first: every later benchmark's ratios are taken against them.
BENCHMARK(Floor)->Unit(benchmark::kMicrosecond);
#if BAYERCAM_BENCH_OPENCV
BENCHMARK(OpenCVBilinear)->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(ColorScalar)->Unit(benchmark::kMicrosecond);
BENCHMARK(ColorSSE2)->Unit(benchmark::kMicrosecond);
BENCHMARK(ColorAVX2)->Unit(benchmark::kMicrosecond);
BENCHMARK(ColorAVX512)->Unit(benchmark::kMicrosecond);
BENCHMARK(GreySSE2)->Unit(benchmark::kMicrosecond);
BENCHMARK(GreyAVX2)->Unit(benchmark::kMicrosecond);
BENCHMARK(GreyAVX512)->Unit(benchmark::kMicrosecond);
BENCHMARK(AutoWhiteBalanceSSE2)->Unit(benchmark::kMicrosecond);
BENCHMARK(AutoWhiteBalanceAVX2)->Unit(benchmark::kMicrosecond);
BENCHMARK(AutoWhiteBalanceAVX512)->Unit(benchmark::kMicrosecond);

}  // namespace imaging_bench

int main(int argc, char** argv) {
    return RunBenchmarks(argc, argv, imaging_bench::PrintTargets);
}
