// Which wide-vector pixel routines the driver may use: the one place where the choice
// depends on the build. The kernel image carries SSE2 routines only (AVX state is not saved
// around driver code there); the host build also carries AVX2 and AVX-512BW routines and
// uses the widest the processor runs.
#pragma once

#include "platform/platform.h"

struct BayerRoutines;

#if defined(BAYERCAM_KERNEL)
#include "platform/kernel/cpu_features.h"
#else
#include "platform/host/cpu_features.h"
#endif
