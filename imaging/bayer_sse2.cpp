// The pixel routines in SSE2: 16 columns per block. The kernel image's only routines.
#include "imaging/vector_sse2.h"
#include "imaging/bayer_kernels.h"

const BayerRoutines kBayerRoutinesSse2 = MakeBayerRoutines<Vec128, Vec128>();
