// A benchmark program's main: Google Benchmark's own, then `report` (the targets, measured
// ratios beside their limits) once every benchmark has run.
#pragma once

#include <benchmark/benchmark.h>

inline int RunBenchmarks(int argc, char** argv, void (*report)()) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    report();
    return 0;
}
