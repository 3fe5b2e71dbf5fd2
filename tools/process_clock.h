// The clocks the streaming commands time themselves with.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace tool {

using Clock = std::chrono::steady_clock;

// CPU time of the whole process: the driver's threads, the simulated camera's and the tool's.
inline int64_t ProcessCpuNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace tool
