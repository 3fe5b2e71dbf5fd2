// What the pixel routines do to one block: demosaic, white balance, the 32-bit matrix sums,
// and the packing of the finished pixels. Internal linkage throughout (see bayer_kernels.h).
//
// A block is V::kColumns columns of one row, held as 16-bit lanes: the even columns in one
// vector, the odd columns in another. One load at a column offset gives, in 16-bit lanes,
// the even columns' samples at that offset (the low bytes) and at the next offset (the high
// bytes).
//
// Demosaic filters, with S(dr, dc) the sample dr rows below and dc columns right:
//   F1  green at red/blue    4S + 2(cross 1) - (cross 2),            (max(s,0) + 4) >> 3
//   F2  own row's colour    10S + 8(row 1) - 2(row 2) - 2(diag) + (column 2),  (+8) >> 4
//   F3  other row's colour  10S + 8(column 1) - 2(column 2) - 2(diag) + (row 2)
//   F4  blue at red, red at blue  12S + 4(diag) - 3(cross 2)
// each clamped to 255. All filter sums fit in signed 16 bits.
//
// Every filter is a sum over the five rows of that row's horizontal sums S(0), S(-1) + S(1)
// and S(-2) + S(2), so those are formed once per input row (RowSums) and each output row
// only combines the five rows around it.
#pragma once

#include "imaging/bayer_frame_vectors.h"

namespace {

// One input row's horizontal sums over a block, by column parity (0 even, 1 odd): a = S(0),
// b = S(-1) + S(1), c = S(-2) + S(2).
template <class V>
struct RowSums {
    typename V::T a[2], b[2], c[2];
};

template <class V>
inline __attribute__((always_inline)) void SumRow(const FrameVectors<V>& k, const UCHAR* s,
                                                  RowSums<V>* out) {
    using T = typename V::T;
    const T left = V::Load(s - 2), centre = V::Load(s), right = V::Load(s + 2);
    const T even = V::And(centre, k.lowBytes), odd = V::template Shr<8>(centre);
    const T leftOdd = V::template Shr<8>(left), rightEven = V::And(right, k.lowBytes);
    out->a[0] = even;
    out->a[1] = odd;
    out->b[0] = V::Add(leftOdd, odd);
    out->b[1] = V::Add(even, rightEven);
    out->c[0] = V::Add(V::And(left, k.lowBytes), rightEven);
    out->c[1] = V::Add(leftOdd, V::template Shr<8>(right));
}

// The five rows of sums around an output row: rows[2] is the row itself.
template <class V>
using RowWindow = const RowSums<V>* const*;

// The filters of block `b` of the window's middle row, before their limit at 255: in the
// red or blue lanes the sample, F1 and F4, scaled and non-negative; in the green lanes the
// sample and the F2 and F3 sums with their rounding term, not yet scaled or clamped.
template <class V>
struct Filters {
    typename V::T center, f1, f4;
    typename V::T green, f2, f3;
};

template <class V, bool GreenOdd>
inline __attribute__((always_inline)) Filters<V> DemosaicFilters(const FrameVectors<V>& k,
                                                                 RowWindow<V> rows, int b) {
    using T = typename V::T;
    const RowSums<V>& u2 = rows[0][b];
    const RowSums<V>& u1 = rows[1][b];
    const RowSums<V>& m = rows[2][b];
    const RowSums<V>& d1 = rows[3][b];
    const RowSums<V>& d2 = rows[4][b];
    // Red or blue samples sit in lanes of parity q, green samples in lanes of parity g.
    constexpr int q = GreenOdd ? 0 : 1;
    constexpr int g = 1 - q;
    Filters<V> f;

    // Red or blue lanes. The rounding terms ride on 2S + 2; every partial sum is
    // non-negative, so the last subtraction saturating at 0 is the clamp at 0.
    f.center = m.a[q];
    const T cross2 = V::Add(m.c[q], V::Add(u2.a[q], d2.a[q]));
    const T center2 = V::Add(V::Add(f.center, f.center), k.two);  // 2S + 2
    f.f1 = V::template Shl<1>(V::Add(V::Add(center2, m.b[q]), V::Add(u1.a[q], d1.a[q])));
    f.f1 = V::template Shr<3>(V::SubSatU(f.f1, cross2));
    f.f4 = V::template Shl<2>(V::Add(V::Add(center2, f.center), V::Add(u1.b[q], d1.b[q])));
    f.f4 = V::template Shr<4>(V::SubSatU(f.f4, V::Add(cross2, V::template Shl<1>(cross2))));

    // Green lanes: 10S + 8 - 2(diag) is common to F2 and F3.
    f.green = m.a[g];
    const T col1 = V::Add(u1.a[g], d1.a[g]);
    const T col2 = V::Add(u2.a[g], d2.a[g]);
    const T common = V::Sub(V::Add(V::Add(V::template Shl<2>(f.green), f.green), k.four),
                            V::Add(u1.b[g], d1.b[g]));
    f.f2 = V::Add(V::template Shl<1>(V::Add(common, V::Sub(V::template Shl<2>(m.b[g]), m.c[g]))),
                  col2);
    f.f3 =
        V::Add(V::template Shl<1>(V::Add(common, V::Sub(V::template Shl<2>(col1), col2))), m.c[g]);
    return f;
}

// The window's row pointers, moved along block by block. A local copy the routines can keep
// in registers: they store pixels through byte pointers, which could alias the window.
template <class V>
struct WindowCursor {
    const RowSums<V>* row[5];
    explicit WindowCursor(RowWindow<V> w) : row{w[0], w[1], w[2], w[3], w[4]} {}
    void Next() {
        for (int i = 0; i < 5; ++i)
            ++row[i];
    }
};

// The colour triples of block `b` of the window's middle row, even and odd columns. With
// Clamp each value is 0..255; without, each is a signed 16-bit value whose unsigned
// saturation to a byte is the clamped value (for callers that pack to bytes anyway).
template <class V, bool GreenOdd, bool RedRow, bool Clamp = true>
inline __attribute__((always_inline)) void Demosaic(const FrameVectors<V>& k, RowWindow<V> rows,
                                                    int b, Rgb<V>* even, Rgb<V>* odd) {
    Filters<V> f = DemosaicFilters<V, GreenOdd>(k, rows, b);
    if (Clamp) {
        f.f1 = V::Min(f.f1, k.max255);
        f.f4 = V::Min(f.f4, k.max255);
        f.f2 = V::Min(V::template Shr<4>(V::Max(f.f2, k.zero)), k.max255);
        f.f3 = V::Min(V::template Shr<4>(V::Max(f.f3, k.zero)), k.max255);
    } else {
        f.f2 = V::template ShrSigned<4>(f.f2);
        f.f3 = V::template ShrSigned<4>(f.f3);
    }

    Rgb<V> colour, greenPixel;
    if (RedRow) {
        colour = {f.center, f.f1, f.f4};
        greenPixel = {f.f2, f.green, f.f3};
    } else {
        colour = {f.f4, f.f1, f.center};
        greenPixel = {f.f3, f.green, f.f2};
    }
    *even = GreenOdd ? colour : greenPixel;
    *odd = GreenOdd ? greenPixel : colour;
}

// The colour-correction matrix without constants for one kind of lane: `center` the lanes'
// own sample (channel cc), `pair` the two interpolated values of channels ca and cb as a | b
// << 8, each 0..255. out[j] = (P >> 6) - (N >> 6), which the final pack clamps.
template <class V>
inline __attribute__((always_inline)) void ByteMatrix(const FrameVectors<V>& k,
                                                      typename V::T center, typename V::T pair,
                                                      int cc, int ca, int cb,
                                                      typename V::T out[3]) {
    using T = typename V::T;
    const T aHigh = V::template Shl<8>(pair), bHigh = V::And(pair, k.highBytes);
    const T centerHigh = V::template Shl<8>(center);
    auto channel = [&](int j, int low, T high, T pairs) {
        out[j] = V::Sub(V::MulHiU(high, k.diagonalQuad[j]),
                        V::template Shr<6>(V::MulAddBytes(pairs, k.byteNegative[j][low])));
    };
    channel(cc, ca, centerHigh, pair);
    channel(ca, cc, aHigh, V::Or(center, bHigh));
    channel(cb, cc, bHigh, V::Or(center, aHigh));
}

// min(255, (gain * v) >> 7) as a high multiply of v << 8 by the doubled gain.
template <class V>
inline typename V::T ApplyGain(const FrameVectors<V>& k, typename V::T v, typename V::T gain) {
    typename V::T x = V::MulHiU(V::template Shl<8>(v), gain);
    return V::Sub(x, V::SubSatU(x, k.max255));
}

template <class V>
inline void ApplyGains(const FrameVectors<V>& k, Rgb<V>* p) {
    p->r = ApplyGain<V>(k, p->r, k.gain[0]);
    p->g = ApplyGain<V>(k, p->g, k.gain[1]);
    p->b = ApplyGain<V>(k, p->b, k.gain[2]);
}

// (P >> 6) - (N >> 6) for output channel j with 32-bit sums, as signed 16-bit lanes (a
// saturating pack) that the final pack clamps to 0..255.
template <class V, int Mode>
inline typename V::T MatrixChannel(const FrameVectors<V>& k, const Rgb<V>& x, int j) {
    using T = typename V::T;
    const T in[3] = {x.r, x.g, x.b};
    T lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
        T shifted = V::template Shl<7>(in[i]);
        lo[i] = V::UnpackLo16(in[i], shifted);
        hi[i] = V::UnpackHi16(in[i], shifted);
    }
    auto sum = [&](const T* xs, const T(&m)[3][3], T constant) {
        return V::Add32(V::Add32(constant, V::MulAdd(xs[0], m[j][0])),
                        V::Add32(V::MulAdd(xs[1], m[j][1]), V::MulAdd(xs[2], m[j][2])));
    };
    T pl = sum(lo, k.positiveWide, k.positiveConstantWide[j]);
    T nl = sum(lo, k.negativeWide, k.negativeConstantWide[j]);
    T ph = sum(hi, k.positiveWide, k.positiveConstantWide[j]);
    T nh = sum(hi, k.negativeWide, k.negativeConstantWide[j]);
    return V::PackSigned32(V::Sub32(V::template Shr32<6>(pl), V::template Shr32<6>(nl)),
                           V::Sub32(V::template Shr32<6>(ph), V::template Shr32<6>(nh)));
}

// A row's last block, when it holds fewer than V::kColumns pixels: kept out of line so that
// the full blocks store straight from their registers.
template <class V>
__attribute__((noinline)) void StorePartialBlock(UCHAR* out, ULONG count, const typename V::T* p) {
    UCHAR last[V::kColumns * 4];
    V::StorePixels(last, p[0], p[1], p[2], p[3]);
    memcpy(out, last, count * 4);
}

template <class V>
__attribute__((noinline)) void StorePartialOrdered(UCHAR* out, ULONG count, typename V::T p0,
                                                   typename V::T p1, typename V::T p2,
                                                   typename V::T p3) {
    UCHAR last[V::kColumns * 4];
    V::Store(last, p0);
    V::Store(last + V::kColumns, p1);
    V::Store(last + 2 * V::kColumns, p2);
    V::Store(last + 3 * V::kColumns, p3);
    memcpy(out, last, count * 4);
}

// Stores the first `count` pixels of a block, given as V::StorePixels takes them.
template <class V>
inline __attribute__((always_inline)) void StorePixelBlock(typename V::T p0, typename V::T p1,
                                                           typename V::T p2, typename V::T p3,
                                                           UCHAR* out, ULONG count) {
    if (count >= V::kColumns) {
        V::StorePixels(out, p0, p1, p2, p3);
    } else {
        const typename V::T p[4] = {p0, p1, p2, p3};
        StorePartialBlock<V>(out, count, p);
    }
}

// Packs three channels of even and odd columns (bytes, even columns then odd) into pixels
// blue, green, red, 255 in column order, and stores the first `count` of them.
template <class V>
inline __attribute__((always_inline)) void StoreBlock(const FrameVectors<V>& k, typename V::T blue,
                                                      typename V::T green, typename V::T red,
                                                      UCHAR* out, ULONG count) {
    using T = typename V::T;
    if constexpr (V::kPermuteBytes) {
        T p[4];
        V::ColourPixels(blue, green, red, k.alpha, p);
        if (count >= V::kColumns) {
            for (int i = 0; i < 4; ++i)
                V::Store(out + i * V::kColumns, p[i]);
        } else {
            StorePartialOrdered<V>(out, count, p[0], p[1], p[2], p[3]);
        }
        return;
    }
    const T bgEven = V::UnpackLo8(blue, green), bgOdd = V::UnpackHi8(blue, green);
    const T raEven = V::UnpackLo8(red, k.opaque), raOdd = V::UnpackHi8(red, k.opaque);
    const T evenLo = V::UnpackLo16(bgEven, raEven), evenHi = V::UnpackHi16(bgEven, raEven);
    const T oddLo = V::UnpackLo16(bgOdd, raOdd), oddHi = V::UnpackHi16(bgOdd, raOdd);
    StorePixelBlock<V>(V::UnpackLo32(evenLo, oddLo), V::UnpackHi32(evenLo, oddLo),
                       V::UnpackLo32(evenHi, oddHi), V::UnpackHi32(evenHi, oddHi), out, count);
}

}  // namespace
