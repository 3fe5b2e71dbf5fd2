// 512-bit integer vectors for the pixel routines (AVX-512F, BW and VBMI): 64 columns per
// block. As in Vec256, the 128-bit quarters work side by side (packs, unpacks and byte
// shuffles stay within a quarter), so quarter q holds columns 16q..16q + 15 of the block,
// laid out as in Vec128.
#pragma once

#include <immintrin.h>

#include "platform/platform.h"

namespace {

// Byte permutes from packed blue, green and red to the pixels of each quarter.
struct PixelOrder {
    alignas(64) UCHAR blueGreen[4][64];
    alignas(64) UCHAR red[4][64];
};
constexpr PixelOrder MakePixelOrder() {
    PixelOrder o{};
    for (int q = 0; q < 4; ++q) {
        for (int i = 0; i < 16; ++i) {
            const int source = 16 * q + (i & 1) * 8 + i / 2;
            o.blueGreen[q][4 * i] = UCHAR(source);
            o.blueGreen[q][4 * i + 1] = UCHAR(64 + source);
            o.red[q][4 * i + 2] = UCHAR(source);
        }
    }
    return o;
}
constexpr PixelOrder kPixelOrder = MakePixelOrder();

struct Vec512 {
    using T = __m512i;
    static constexpr bool kByteShuffles = true;
    static constexpr bool kPermuteBytes = true;
    static constexpr ULONG kColumns = 64;

    static T Load(const UCHAR* p) { return _mm512_loadu_si512(p); }
    static void Store(UCHAR* p, T v) { _mm512_storeu_si512(p, v); }
    static T Set16(int v) { return _mm512_set1_epi16(short(v)); }
    static T Set32(int v) { return _mm512_set1_epi32(v); }
    static T Set8(int v) { return _mm512_set1_epi8(char(v)); }
    static T Zero() { return _mm512_setzero_si512(); }

    static T Add(T a, T b) { return _mm512_add_epi16(a, b); }
    static T Sub(T a, T b) { return _mm512_sub_epi16(a, b); }
    static T Max(T a, T b) { return _mm512_max_epi16(a, b); }
    static T Min(T a, T b) { return _mm512_min_epi16(a, b); }
    static T SubSatU(T a, T b) { return _mm512_subs_epu16(a, b); }
    static T MulLo(T a, T b) { return _mm512_mullo_epi16(a, b); }
    static T MulHiU(T a, T b) { return _mm512_mulhi_epu16(a, b); }
    template <int N>
    static T Shl(T a) {
        return _mm512_slli_epi16(a, N);
    }
    template <int N>
    static T Shr(T a) {
        return _mm512_srli_epi16(a, N);
    }
    template <int N>
    static T ShrSigned(T a) {
        return _mm512_srai_epi16(a, N);
    }
    static T And(T a, T b) { return _mm512_and_si512(a, b); }
    static T Or(T a, T b) { return _mm512_or_si512(a, b); }
    // Unsigned bytes of a times signed bytes of b, adjacent products added (saturating).
    static T MulAddBytes(T a, T b) { return _mm512_maddubs_epi16(a, b); }
    // Grey pixels (y, y, y, 255) from the luminance bytes of a packed block (even columns,
    // then odd, in each quarter): pixels 4N..4N + 3 of each quarter; `alpha` has 255 in each
    // pixel's fourth byte.
    template <int N>
    static T GreyPixels(T luma, T alpha) {
        // Columns 4N, 4N + 1, 4N + 2, 4N + 3: even 2N, odd 2N, even 2N + 1, odd 2N + 1.
        constexpr char e0 = 2 * N, o0 = 8 + 2 * N, e1 = 2 * N + 1, o1 = 9 + 2 * N, z = -128;
        const T pattern = _mm512_broadcast_i32x4(
            _mm_setr_epi8(e0, e0, e0, z, o0, o0, o0, z, e1, e1, e1, z, o1, o1, o1, z));
        return _mm512_or_si512(_mm512_shuffle_epi8(luma, pattern), alpha);
    }
    // A pack of a and b, (a0..a7, b0..b7) in each quarter, as the 16-bit lanes a_i | b_i << 8.
    static T InterleavePacked(T packed) {
        const T pattern = _mm512_broadcast_i32x4(
            _mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
        return _mm512_shuffle_epi8(packed, pattern);
    }

    static T Add32(T a, T b) { return _mm512_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm512_sub_epi32(a, b); }
    template <int N>
    static T Shr32(T a) {
        return _mm512_srli_epi32(a, N);
    }
    static T MulAdd(T a, T b) { return _mm512_madd_epi16(a, b); }
    static T PackSigned32(T a, T b) { return _mm512_packs_epi32(a, b); }

    static T PackUnsigned8(T a, T b) { return _mm512_packus_epi16(a, b); }
    static T UnpackLo8(T a, T b) { return _mm512_unpacklo_epi8(a, b); }
    static T UnpackHi8(T a, T b) { return _mm512_unpackhi_epi8(a, b); }
    static T UnpackLo16(T a, T b) { return _mm512_unpacklo_epi16(a, b); }
    static T UnpackHi16(T a, T b) { return _mm512_unpackhi_epi16(a, b); }
    static T UnpackLo32(T a, T b) { return _mm512_unpacklo_epi32(a, b); }
    static T UnpackHi32(T a, T b) { return _mm512_unpackhi_epi32(a, b); }

    static T SumBytes(T a) { return _mm512_sad_epu8(a, _mm512_setzero_si512()); }
    static T Add64(T a, T b) { return _mm512_add_epi64(a, b); }
    static ULONGLONG Total64(T a) { return ULONGLONG(_mm512_reduce_add_epi64(a)); }
    static T ColumnsBelow(int n) {
        const T inQuarter = _mm512_broadcast_i32x4(
            _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
        const T quarterStart = _mm512_setr_epi32(
            0, 0, 0, 0, 0x10101010, 0x10101010, 0x10101010, 0x10101010, 0x20202020, 0x20202020,
            0x20202020, 0x20202020, 0x30303030, 0x30303030, 0x30303030, 0x30303030);
        const T columns = _mm512_add_epi8(inQuarter, quarterStart);
        return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(_mm512_set1_epi8(char(n)), columns));
    }

    // The block's pixels in column order, p[K] holding columns 16K..16K + 15, from packed
    // blue, green and red bytes (in each quarter the even columns, then the odd ones). Two
    // byte permutes per vector replace the unpack ladder and the quarter transpose.
    static void ColourPixels(T blue, T green, T red, T alpha, T p[4]) {
        for (int q = 0; q < 4; ++q) {
            const T blueGreen = _mm512_maskz_permutex2var_epi8(
                0x3333333333333333ull, blue, Load(kPixelOrder.blueGreen[q]), green);
            p[q] = _mm512_or_si512(_mm512_mask_permutexvar_epi8(blueGreen, 0x4444444444444444ull,
                                                                Load(kPixelOrder.red[q]), red),
                                   alpha);
        }
    }

    // Vector k holds, in quarter q, pixels 16q + 4k..16q + 4k + 3: a 4 x 4 transpose of
    // quarters puts each quarter's sixteen pixels in one vector, stored whole.
    static void StorePixels(UCHAR* out, T p0, T p1, T p2, T p3) {
        const T q01 = _mm512_shuffle_i64x2(p0, p1, 0x44);  // p0.0 p0.1 p1.0 p1.1
        const T q23 = _mm512_shuffle_i64x2(p0, p1, 0xEE);  // p0.2 p0.3 p1.2 p1.3
        const T r01 = _mm512_shuffle_i64x2(p2, p3, 0x44);
        const T r23 = _mm512_shuffle_i64x2(p2, p3, 0xEE);
        Store(out, _mm512_shuffle_i64x2(q01, r01, 0x88));
        Store(out + 64, _mm512_shuffle_i64x2(q01, r01, 0xDD));
        Store(out + 128, _mm512_shuffle_i64x2(q23, r23, 0x88));
        Store(out + 192, _mm512_shuffle_i64x2(q23, r23, 0xDD));
    }
};

}  // namespace
