// 256-bit integer vectors for the pixel routines: 32 columns per block. The 128-bit halves
// work side by side (packs and unpacks stay within a half), so the low half holds columns
// 0..15 of the block and the high half columns 16..31, each laid out as in Vec128.
#pragma once

#include <immintrin.h>

#include "platform/platform.h"

namespace {

struct Vec256 {
    using T = __m256i;
    // Byte shuffles and byte multiply-adds (the colour-correction matrix on byte pairs, grey
    // pixels from their luminance bytes).
    static constexpr bool kPermuteBytes = false;
    static constexpr bool kByteShuffles = true;
    static constexpr ULONG kColumns = 32;

    static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const T*>(p)); }
    static void Store(UCHAR* p, T v) { _mm256_storeu_si256(reinterpret_cast<T*>(p), v); }
    static T Set16(int v) { return _mm256_set1_epi16(short(v)); }
    static T Set32(int v) { return _mm256_set1_epi32(v); }
    static T Set8(int v) { return _mm256_set1_epi8(char(v)); }
    static T Zero() { return _mm256_setzero_si256(); }

    static T Add(T a, T b) { return _mm256_add_epi16(a, b); }
    static T Sub(T a, T b) { return _mm256_sub_epi16(a, b); }
    static T Max(T a, T b) { return _mm256_max_epi16(a, b); }
    static T Min(T a, T b) { return _mm256_min_epi16(a, b); }
    static T SubSatU(T a, T b) { return _mm256_subs_epu16(a, b); }
    static T MulLo(T a, T b) { return _mm256_mullo_epi16(a, b); }
    static T MulHiU(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    template <int N>
    static T Shl(T a) {
        return _mm256_slli_epi16(a, N);
    }
    template <int N>
    static T Shr(T a) {
        return _mm256_srli_epi16(a, N);
    }
    template <int N>
    static T ShrSigned(T a) {
        return _mm256_srai_epi16(a, N);
    }
    static T And(T a, T b) { return _mm256_and_si256(a, b); }
    static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    // Unsigned bytes of a times signed bytes of b, adjacent products added (saturating).
    static T MulAddBytes(T a, T b) { return _mm256_maddubs_epi16(a, b); }
    // A pack of a and b, (a0..a7, b0..b7) in each half, as the 16-bit lanes a_i | b_i << 8.
    // Grey pixels (y, y, y, 255) from the luminance bytes of a packed block (even columns,
    // then odd, in each half): pixels 4N..4N + 3 of each half; `alpha` has 255 in each
    // pixel's fourth byte.
    template <int N>
    static T GreyPixels(T luma, T alpha) {
        // Columns 4N, 4N + 1, 4N + 2, 4N + 3: even 2N, odd 2N, even 2N + 1, odd 2N + 1.
        constexpr char e0 = 2 * N, o0 = 8 + 2 * N, e1 = 2 * N + 1, o1 = 9 + 2 * N, z = -128;
        const T pattern =
            _mm256_setr_epi8(e0, e0, e0, z, o0, o0, o0, z, e1, e1, e1, z, o1, o1, o1, z, e0, e0, e0,
                             z, o0, o0, o0, z, e1, e1, e1, z, o1, o1, o1, z);
        return _mm256_or_si256(_mm256_shuffle_epi8(luma, pattern), alpha);
    }
    static T InterleavePacked(T packed) {
        const T pattern = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0,
                                           8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
        return _mm256_shuffle_epi8(packed, pattern);
    }

    static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
    template <int N>
    static T Shr32(T a) {
        return _mm256_srli_epi32(a, N);
    }
    static T MulAdd(T a, T b) { return _mm256_madd_epi16(a, b); }
    static T PackSigned32(T a, T b) { return _mm256_packs_epi32(a, b); }

    static T PackUnsigned8(T a, T b) { return _mm256_packus_epi16(a, b); }
    static T UnpackLo8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    static T UnpackHi8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    static T UnpackLo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    static T UnpackHi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    static T UnpackLo32(T a, T b) { return _mm256_unpacklo_epi32(a, b); }
    static T UnpackHi32(T a, T b) { return _mm256_unpackhi_epi32(a, b); }

    static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
    static ULONGLONG Total64(T a) {
        __m128i s = _mm_add_epi64(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        return ULONGLONG(_mm_cvtsi128_si64(s)) +
               ULONGLONG(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
    }
    static T ColumnsBelow(int n) {
        const T columns =
            _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 16, 18, 20, 22,
                             24, 26, 28, 30, 17, 19, 21, 23, 25, 27, 29, 31);
        return _mm256_cmpgt_epi8(_mm256_set1_epi8(char(n)), columns);
    }

    // Vector k holds pixels 4k..4k+3 in its low half and 16+4k..16+4k+3 in its high half;
    // the halves are stored apart, which takes no shuffle.
    static void StorePixels(UCHAR* out, T p0, T p1, T p2, T p3) {
        const T p[4] = {p0, p1, p2, p3};
        for (int k = 0; k < 4; ++k) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k),
                             _mm256_castsi256_si128(p[k]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 64 + 16 * k),
                             _mm256_extracti128_si256(p[k], 1));
        }
    }
};

}  // namespace
