// Processor features of the host build.
#include "platform/host/wdk.h"

struct BayerRoutines;
#include "platform/host/cpu_features.h"

bool HostCpuHasAvx2() {
    // Checks the CPUID bit and that the OS saves the YMM state.
    return __builtin_cpu_supports("avx2");
}

bool HostCpuHasAvx512() {
    // Cached at start-up, with the OS's saving of the opmask and ZMM state checked (XCR0).
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}
