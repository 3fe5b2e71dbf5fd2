// Kernel image: no AVX2 routines.
#pragma once

inline const BayerRoutines* PlatformAvx2BayerRoutines() {
    return nullptr;
}
