// The pixel routines in AVX-512BW with VBMI: 64 columns per block, and the 16-column form for what
// is left of a row after its last whole 64-column block: a 32-column block there could read
// past what the padded buffer provides, as in AVX2.
#include "imaging/vector_ssse3.h"
#include "imaging/vector_avx512.h"
#include "imaging/bayer_kernels.h"

const BayerRoutines kBayerRoutinesAvx512 = MakeBayerRoutines<Vec512, Vec128Bytes>();
