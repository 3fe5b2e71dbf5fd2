// Host build: the AVX2 routines (imaging/bayer_avx2.cpp) when the processor and the
// operating system support AVX2.
#pragma once

// Whether this processor runs AVX2 code, with the OS saving its state.
bool HostCpuHasAvx2();

extern const BayerRoutines kBayerRoutinesAvx2;

inline const BayerRoutines* PlatformAvx2BayerRoutines() {
    return HostCpuHasAvx2() ? &kBayerRoutinesAvx2 : nullptr;
}
