// Host build: the AVX-512 (BW and VBMI) routines (imaging/bayer_avx512.cpp) or the AVX2 routines
// (imaging/bayer_avx2.cpp), the widest the processor and the operating system support. Host
// threads are user threads: the OS saves their vector state, and a frame needs nothing more.
#pragma once

// Whether this processor runs AVX2 code, with the OS saving its state.
bool HostCpuHasAvx2();
// Whether this processor runs AVX-512F, AVX-512BW and AVX-512VBMI code, with the OS saving the
// opmask and all 512-bit register state.
bool HostCpuHasAvx512();

extern const BayerRoutines kBayerRoutinesAvx2;
extern const BayerRoutines kBayerRoutinesAvx512;

struct WideVectorState {};

inline void PlatformChooseWideVectors() {}

inline const BayerRoutines* PlatformBeginWideVectors(WideVectorState*) {
    if (HostCpuHasAvx512())
        return &kBayerRoutinesAvx512;
    return HostCpuHasAvx2() ? &kBayerRoutinesAvx2 : nullptr;
}

inline void PlatformEndWideVectors(WideVectorState*) {}
