// Kernel image: no AVX2 or AVX-512 routines.
#pragma once

inline const BayerRoutines* PlatformWidestBayerRoutines() {
    return nullptr;
}
