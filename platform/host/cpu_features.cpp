// Processor features of the host build.
#include "platform/host/wdk.h"

struct BayerRoutines;
#include "platform/host/cpu_features.h"

#include <cpuid.h>

namespace {

bool DetectAvx512bw() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE))
        return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    if (!(b & bit_AVX512F) || !(b & bit_AVX512BW))
        return false;
    // XCR0: the OS must save the SSE and AVX state (bits 1, 2), the opmask registers (5),
    // the upper halves of ZMM0..15 (6) and ZMM16..31 (7), or a context switch loses them.
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr unsigned kSavedState = 0x2 | 0x4 | 0x20 | 0x40 | 0x80;
    return (low & kSavedState) == kSavedState;
}

}  // namespace

bool HostCpuHasAvx2() {
    // Checks the CPUID bit and that the OS saves the YMM state.
    return __builtin_cpu_supports("avx2");
}

bool HostCpuHasAvx512bw() {
    // CPUID is slow under a hypervisor, and every frame asks.
    static const bool has = DetectAvx512bw();
    return has;
}
