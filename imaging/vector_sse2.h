// 128-bit integer vectors for the pixel routines: 16 columns per block, 8 even and 8 odd
// columns in 16-bit lanes. Everything here has internal linkage: the AVX2 routines include
// this header too (for the last block of a row), compiled for another instruction set, and
// the two copies must never be merged by the linker.
#pragma once

#include <emmintrin.h>

#include "platform/platform.h"

namespace {

struct Vec128 {
    using T = __m128i;
    // No byte shuffles or byte multiply-adds in SSE2.
    static constexpr bool kPermuteBytes = false;
    static constexpr bool kByteShuffles = false;
    static constexpr ULONG kColumns = 16;

    static T Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const T*>(p)); }
    static void Store(UCHAR* p, T v) { _mm_storeu_si128(reinterpret_cast<T*>(p), v); }
    static T Set16(int v) { return _mm_set1_epi16(short(v)); }
    static T Set32(int v) { return _mm_set1_epi32(v); }
    static T Set8(int v) { return _mm_set1_epi8(char(v)); }
    static T Zero() { return _mm_setzero_si128(); }

    static T Add(T a, T b) { return _mm_add_epi16(a, b); }
    static T Sub(T a, T b) { return _mm_sub_epi16(a, b); }
    static T Max(T a, T b) { return _mm_max_epi16(a, b); }
    static T Min(T a, T b) { return _mm_min_epi16(a, b); }
    static T SubSatU(T a, T b) { return _mm_subs_epu16(a, b); }
    static T MulLo(T a, T b) { return _mm_mullo_epi16(a, b); }
    static T MulHiU(T a, T b) { return _mm_mulhi_epu16(a, b); }
    template <int N>
    static T Shl(T a) {
        return _mm_slli_epi16(a, N);
    }
    template <int N>
    static T Shr(T a) {
        return _mm_srli_epi16(a, N);
    }
    template <int N>
    static T ShrSigned(T a) {
        return _mm_srai_epi16(a, N);
    }
    static T And(T a, T b) { return _mm_and_si128(a, b); }

    static T Add32(T a, T b) { return _mm_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm_sub_epi32(a, b); }
    template <int N>
    static T Shr32(T a) {
        return _mm_srli_epi32(a, N);
    }
    static T MulAdd(T a, T b) { return _mm_madd_epi16(a, b); }
    static T PackSigned32(T a, T b) { return _mm_packs_epi32(a, b); }

    static T PackUnsigned8(T a, T b) { return _mm_packus_epi16(a, b); }
    static T UnpackLo8(T a, T b) { return _mm_unpacklo_epi8(a, b); }
    static T UnpackHi8(T a, T b) { return _mm_unpackhi_epi8(a, b); }
    static T UnpackLo16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
    static T UnpackHi16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
    static T UnpackLo32(T a, T b) { return _mm_unpacklo_epi32(a, b); }
    static T UnpackHi32(T a, T b) { return _mm_unpackhi_epi32(a, b); }

    static T SumBytes(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
    static T Add64(T a, T b) { return _mm_add_epi64(a, b); }
    static ULONGLONG Total64(T a) {
        return ULONGLONG(_mm_cvtsi128_si64(a)) +
               ULONGLONG(_mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a)));
    }
    // Bytes of a packed (even columns, then odd columns) block whose column is below n.
    static T ColumnsBelow(int n) {
        const T columns = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
        return _mm_cmpgt_epi8(_mm_set1_epi8(char(n)), columns);
    }

    // Four vectors of four pixels each, in column order.
    static void StorePixels(UCHAR* out, T p0, T p1, T p2, T p3) {
        Store(out, p0);
        Store(out + 16, p1);
        Store(out + 32, p2);
        Store(out + 48, p3);
    }
};

}  // namespace
