// The image pipeline on one 656 x 494 frame, single thread, default settings, against the
// least any conversion must do: read the raw frame and write the output image.
#include "bench/imaging_bench.h"

#include <time.h>
#include <cstring>

#include "imaging/bayer_routines.h"
#include "platform/cpu_features.h"
#include "platform/host/host_control.h"
#include "sim/scene.h"
#include "tests/imaging/reference.h"

namespace imaging_bench {

namespace {

double floorNanoseconds = 0.0;

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
    FloorRatio ratio(state);
    for (auto _ : state) {
        auto result = reference::ProcessFrame(image, settings);
        benchmark::DoNotOptimize(result.image.data());
    }
}

// ProcessRawFrame with one table; the pool must see no allocation per frame.
void Process(benchmark::State& state, bool colour, Isa isa) {
    const BayerRoutines* routines = Table(state, isa);
    if (!routines)
        return;
    const auto& raw = ChartFrame();
    Stream stream(colour);
    const uint64_t allocations = host::PoolSequence();
    {
        FloorRatio ratio(state);
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
void Measure(benchmark::State& state, Isa isa) {
    const BayerRoutines* routines = Table(state, isa);
    if (!routines)
        return;
    Stream stream(true);
    LoadRawFrame(stream.pipeline, ChartFrame().data(), 0, kWidth);
    ULONG gains[3] = {128, 128, 128};
    FloorRatio ratio(state);
    for (auto _ : state) {
        routines->MeasureWhiteBalance[2](stream.pipeline, &gains[0], &gains[1], &gains[2]);
        benchmark::DoNotOptimize(gains);
    }
}

void ColorSSE2(benchmark::State& state) {
    Process(state, true, Isa::kSse2);
}
void ColorAVX2(benchmark::State& state) {
    Process(state, true, Isa::kAvx2);
}
void ColorAVX512(benchmark::State& state) {
    Process(state, true, Isa::kAvx512);
}
void GreySSE2(benchmark::State& state) {
    Process(state, false, Isa::kSse2);
}
void GreyAVX2(benchmark::State& state) {
    Process(state, false, Isa::kAvx2);
}
void GreyAVX512(benchmark::State& state) {
    Process(state, false, Isa::kAvx512);
}
void AutoWhiteBalanceSSE2(benchmark::State& state) {
    Measure(state, Isa::kSse2);
}
void AutoWhiteBalanceAVX2(benchmark::State& state) {
    Measure(state, Isa::kAvx2);
}
void AutoWhiteBalanceAVX512(benchmark::State& state) {
    Measure(state, Isa::kAvx512);
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

FloorRatio::FloorRatio(benchmark::State& state) : state_(state), start_(Now()) {}

FloorRatio::~FloorRatio() {
    if (floorNanoseconds > 0.0 && state_.iterations() > 0) {
        double perFrame = double(Now() - start_) / double(state_.iterations());
        state_.counters["xFloor"] = perFrame / floorNanoseconds;
    }
}

// Floor first: every later benchmark's ratio is taken against it.
BENCHMARK(Floor)->Unit(benchmark::kMicrosecond);
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
#if BAYERCAM_BENCH_OPENCV
BENCHMARK(OpenCVBilinear)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace imaging_bench

BENCHMARK_MAIN();
