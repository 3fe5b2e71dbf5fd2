// 128-bit vectors with SSSE3's byte shuffles and byte multiply-adds, for the last block of a
// row in the AVX2 and AVX-512 routines: the tail then takes the same byte-pair matrix and
// grey packing as the wide blocks instead of SSE2's longer forms.
#pragma once

#include <tmmintrin.h>

#include "imaging/vector_sse2.h"

namespace {

struct Vec128Bytes : Vec128 {
    static constexpr bool kByteShuffles = true;

    static T Or(T a, T b) { return _mm_or_si128(a, b); }
    static T MulAddBytes(T a, T b) { return _mm_maddubs_epi16(a, b); }
    template <int N>
    static T GreyPixels(T luma, T alpha) {
        constexpr char e0 = 2 * N, o0 = 8 + 2 * N, e1 = 2 * N + 1, o1 = 9 + 2 * N, z = -128;
        const T pattern = _mm_setr_epi8(e0, e0, e0, z, o0, o0, o0, z, e1, e1, e1, z, o1, o1, o1, z);
        return _mm_or_si128(_mm_shuffle_epi8(luma, pattern), alpha);
    }
    static T InterleavePacked(T packed) {
        const T pattern = _mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
        return _mm_shuffle_epi8(packed, pattern);
    }
};

}  // namespace
