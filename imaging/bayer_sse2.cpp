// The pixel routines in SSE2: 16 columns per block, which every x64 processor runs.
#include "imaging/vector_sse2.h"
#include "imaging/bayer_kernels.h"

const BayerRoutines kBayerRoutinesSse2 = MakeBayerRoutines<Vec128, Vec128>();
