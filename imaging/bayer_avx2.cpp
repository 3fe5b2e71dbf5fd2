// The pixel routines in AVX2: 32 columns per block, and the 16-column form for a row's last
// block where 32 columns would read past what the padded buffer provides.
#include "imaging/vector_ssse3.h"
#include "imaging/vector_avx2.h"
#include "imaging/bayer_kernels.h"

const BayerRoutines kBayerRoutinesAvx2 = MakeBayerRoutines<Vec256, Vec128Bytes>();
