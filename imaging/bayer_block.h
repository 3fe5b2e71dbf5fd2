// What the pixel routines do to one block: demosaic, white balance, the 32-bit matrix sums,
// and the packing of the finished pixels. Internal linkage throughout (see bayer_kernels.h).
//
// A block is V::kColumns columns of one row. One load at a column offset gives, in 16-bit
// lanes, the even columns' samples at that offset (the low bytes) and at the next offset
// (the high bytes); three loads per row cover offsets -2..3 for every lane, and the odd
// columns' offset d is the even columns' offset d + 1.
//
// Demosaic filters, with S(dr, dc) the sample dr rows below and dc columns right:
//   F1  green at red/blue    4S + 2(cross 1) - (cross 2),            (max(s,0) + 4) >> 3
//   F2  own row's colour    10S + 8(row 1) - 2(row 2) - 2(diag) + (column 2),  (+8) >> 4
//   F3  other row's colour  10S + 8(column 1) - 2(column 2) - 2(diag) + (row 2)
//   F4  blue at red, red at blue  12S + 4(diag) - 3(cross 2)
// each clamped to 255. All filter sums fit in signed 16 bits.
#pragma once

#include "imaging/bayer_frame_vectors.h"

namespace {

// The unbalanced colour triples of a block's even and odd columns, each 0..255.
template <class V, bool GreenOdd, bool RedRow>
inline __attribute__((always_inline)) void Demosaic(const FrameVectors<V>& k, const UCHAR* s,
                                                    LONG_PTR pitch, Rgb<V>* even, Rgb<V>* odd) {
    using T = typename V::T;
    const T lowBytes = k.lowBytes;
    auto lo = [lowBytes](T v) { return V::And(v, lowBytes); };
    auto hi = [](T v) { return V::template Shr<8>(v); };

    // Row dr, column offset d, even lanes: e0[d + 2] (d = -2..3), up/down[d + 1] (d =
    // -1..2), up2/down2[d] (d = 0..1).
    const T a0 = V::Load(s - 2), b0 = V::Load(s), c0 = V::Load(s + 2);
    const T e0[6] = {lo(a0), hi(a0), lo(b0), hi(b0), lo(c0), hi(c0)};
    const UCHAR* su = s - pitch;
    const UCHAR* sd = s + pitch;
    const T au = V::Load(su - 2), bu = V::Load(su), cu = V::Load(su + 2);
    const T ad = V::Load(sd - 2), bd = V::Load(sd), cd = V::Load(sd + 2);
    const T up[4] = {hi(au), lo(bu), hi(bu), lo(cu)};
    const T down[4] = {hi(ad), lo(bd), hi(bd), lo(cd)};
    const T bu2 = V::Load(s - 2 * pitch), bd2 = V::Load(s + 2 * pitch);
    const T up2[2] = {lo(bu2), hi(bu2)};
    const T down2[2] = {lo(bd2), hi(bd2)};

    // Red or blue samples sit in lanes of parity q, green samples in lanes of parity g.
    constexpr int q = GreenOdd ? 0 : 1;
    constexpr int g = 1 - q;

    // Vertical pairs of samples one row up and down, shared by both kinds of lane.
    const T vertical[4] = {V::Add(up[0], down[0]), V::Add(up[1], down[1]), V::Add(up[2], down[2]),
                           V::Add(up[3], down[3])};

    const T center = e0[q + 2];
    const T cross1 = V::Add(vertical[q + 1], V::Add(e0[q + 1], e0[q + 3]));
    const T cross2 = V::Add(V::Add(up2[q], down2[q]), V::Add(e0[q], e0[q + 4]));
    const T diag = V::Add(vertical[q], vertical[q + 2]);
    // The rounding terms (+4 for F1, +8 for the others) ride on shared partial sums: adding
    // them before the clamp at 0 instead of after changes nothing, as they are below the
    // divisor.
    const T center2 = V::Add(V::template Shl<1>(center), k.two);  // 2S + 2
    T f1 = V::Sub(V::template Shl<1>(V::Add(center2, cross1)), cross2);
    T f4 =
        V::Add(V::template Shl<2>(V::Sub(V::Add(V::Add(center2, center), diag), cross2)), cross2);

    const T green = e0[g + 2];
    const T row1 = V::Add(e0[g + 1], e0[g + 3]);
    const T col1 = vertical[g + 1];
    const T row2 = V::Add(e0[g], e0[g + 4]);
    const T col2 = V::Add(up2[g], down2[g]);
    const T gdiag = V::Add(vertical[g], vertical[g + 2]);
    // 10S + 8 - 2(diag)
    const T common =
        V::template Shl<1>(V::Sub(V::Add(V::Add(V::template Shl<2>(green), green), k.four), gdiag));
    T f2 = V::Add(V::Add(common, V::template Shl<1>(V::Sub(V::template Shl<2>(row1), row2))), col2);
    T f3 = V::Add(V::Add(common, V::template Shl<1>(V::Sub(V::template Shl<2>(col1), col2))), row2);

    f1 = V::Min(V::template Shr<3>(V::Max(f1, k.zero)), k.max255);
    f4 = V::Min(V::template Shr<4>(V::Max(f4, k.zero)), k.max255);
    f2 = V::Min(V::template Shr<4>(V::Max(f2, k.zero)), k.max255);
    f3 = V::Min(V::template Shr<4>(V::Max(f3, k.zero)), k.max255);

    Rgb<V> colour, greenPixel;
    if (RedRow) {
        colour = {center, f1, f4};
        greenPixel = {f2, green, f3};
    } else {
        colour = {f4, f1, center};
        greenPixel = {f3, green, f2};
    }
    *even = GreenOdd ? colour : greenPixel;
    *odd = GreenOdd ? greenPixel : colour;
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

// Packs three channels of even and odd columns (bytes, even columns then odd) into pixels
// blue, green, red, 255 in column order, and stores the first `count` of them.
template <class V>
inline void StoreBlock(const FrameVectors<V>& k, typename V::T blue, typename V::T green,
                       typename V::T red, UCHAR* out, ULONG count) {
    using T = typename V::T;
    const T bgEven = V::UnpackLo8(blue, green), bgOdd = V::UnpackHi8(blue, green);
    const T raEven = V::UnpackLo8(red, k.opaque), raOdd = V::UnpackHi8(red, k.opaque);
    const T evenLo = V::UnpackLo16(bgEven, raEven), evenHi = V::UnpackHi16(bgEven, raEven);
    const T oddLo = V::UnpackLo16(bgOdd, raOdd), oddHi = V::UnpackHi16(bgOdd, raOdd);
    const T p0 = V::UnpackLo32(evenLo, oddLo), p1 = V::UnpackHi32(evenLo, oddLo);
    const T p2 = V::UnpackLo32(evenHi, oddHi), p3 = V::UnpackHi32(evenHi, oddHi);
    if (count >= V::kColumns) {
        V::StorePixels(out, p0, p1, p2, p3);
        return;
    }
    UCHAR last[V::kColumns * 4];
    V::StorePixels(last, p0, p1, p2, p3);
    memcpy(out, last, count * 4);
}

}  // namespace
