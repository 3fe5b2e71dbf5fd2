// The pixel routines, written once over a vector type (Vec128 or Vec256) and instantiated
// by each instruction set's file. Everything has internal linkage, so the copies built for
// different instruction sets stay apart.
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

#include "imaging/bayer_routines.h"

namespace {

// What a row holds, from the pattern's phase and the row's parity (0 for row 0).
template <int Phase, int Parity>
struct RowKind {
    static constexpr bool kRedRow = (Phase & 1) == Parity;
    static constexpr bool kGreenOdd = (Phase == 1 || Phase == 2) != (Parity == 1);
};

template <class A, class B>
struct SameType {
    static constexpr bool kValue = false;
};
template <class A>
struct SameType<A, A> {
    static constexpr bool kValue = true;
};

// Per-frame choices of the colour and grey loops.
enum FrameMode : int {
    kWideSums = 1,   // matrix sums in 32 bits
    kUnitGains = 2,  // every gain is 128: balancing changes nothing and is skipped
};

template <class V>
struct Rgb {
    typename V::T r, g, b;
};

template <class V>
struct FrameVectors;
// 16-bit matrix sums of output channel j over `count` input triples (see MatrixPass).
template <class V>
using MatrixPassFn = void (*)(const FrameVectors<V>& k, int j, const typename V::T (*in)[3],
                              typename V::T* out, int count);

// The frame's constants, filled into every lane once per frame.
template <class V>
struct FrameVectors {
    using T = typename V::T;
    T zero, two, four, max255, lowBytes, opaque;
    T gain[3];
    // Matrix sums in 16 bits: [output channel][input].
    T positive[3][3], negative[3][3], positiveConstant[3], negativeConstant[3];
    // Matrix sums in 32 bits: each coefficient m as the pair (m & 0x7FFF, (m >> 15) << 8),
    // which a multiply-add with (x, x << 7) turns into x * m for any 16-bit m.
    T positiveWide[3][3], negativeWide[3][3], positiveConstantWide[3], negativeConstantWide[3];
    T lumaRed, lumaGreen, lumaBlue;
    // Specialised for the frame's coefficient signs.
    MatrixPassFn<V> matrixPass[3];
};

// Which sum each coefficient of an output channel feeds: 0 none (zero), 1 the positive sum,
// 2 the negative sum; red + 3 green + 9 blue + 27 constant.
constexpr int kMatrixPatterns = 81;

inline int MatrixPattern(const FrameCoefficients& c, int j) {
    auto state = [](USHORT positive, USHORT negative) { return positive ? 1 : negative ? 2 : 0; };
    return state(c.positive[j][0], c.negative[j][0]) +
           3 * state(c.positive[j][1], c.negative[j][1]) +
           9 * state(c.positive[j][2], c.negative[j][2]) +
           27 * state(c.positiveConstant[j], c.negativeConstant[j]);
}

template <class V, int State>
inline void AddTerm(typename V::T* p, typename V::T* n, typename V::T x, typename V::T positive,
                    typename V::T negative) {
    if constexpr (State == 1)
        *p = V::Add(*p, V::MulLo(x, positive));
    if constexpr (State == 2)
        *n = V::Add(*n, V::MulLo(x, negative));
}

// (P >> 6) - (N >> 6) of output channel j for each input triple, with only the products
// that are not known to be zero. Sums held in 16 bits: only for frames where none can pass
// 65535.
template <class V, int Pattern>
void MatrixPass(const FrameVectors<V>& k, int j, const typename V::T (*in)[3], typename V::T* out,
                int count) {
    using T = typename V::T;
    constexpr int kRed = Pattern % 3, kGreen = Pattern / 3 % 3, kBlue = Pattern / 9 % 3;
    constexpr int kConstant = Pattern / 27;
    const T pr = k.positive[j][0], pg = k.positive[j][1], pb = k.positive[j][2];
    const T nr = k.negative[j][0], ng = k.negative[j][1], nb = k.negative[j][2];
    const T pc = kConstant == 1 ? k.positiveConstant[j] : V::Zero();
    const T nc = kConstant == 2 ? k.negativeConstant[j] : V::Zero();
    for (int v = 0; v < count; ++v) {
        T p = pc, n = nc;
        AddTerm<V, kRed>(&p, &n, in[v][0], pr, nr);
        AddTerm<V, kGreen>(&p, &n, in[v][1], pg, ng);
        AddTerm<V, kBlue>(&p, &n, in[v][2], pb, nb);
        out[v] = V::Sub(V::template Shr<6>(p), V::template Shr<6>(n));
    }
}

template <int... I>
struct IndexList {};
template <int N, int... I>
struct MakeIndexList : MakeIndexList<N - 1, N - 1, I...> {};
template <int... I>
struct MakeIndexList<0, I...> {
    using Type = IndexList<I...>;
};

template <class V>
struct MatrixPassTable {
    MatrixPassFn<V> entries[kMatrixPatterns];
};
template <class V, int... I>
constexpr MatrixPassTable<V> MakeMatrixPassTable(IndexList<I...>) {
    return {{&MatrixPass<V, I>...}};
}
template <class V>
constexpr MatrixPassTable<V> kMatrixPasses =
    MakeMatrixPassTable<V>(typename MakeIndexList<kMatrixPatterns>::Type());

inline int WidePair(USHORT m) {
    return int(m & 0x7FFF) | int((m >> 15) << 8) << 16;
}

template <class V>
void FillFrameVectors(const FrameCoefficients& c, FrameVectors<V>* k);

// Calls f(main vectors, tail vectors), filling one set when both vector types are the same.
template <class Main, class Tail, class F>
void WithFrameVectors(const FrameCoefficients& c, F&& f) {
    FrameVectors<Main> km;
    FillFrameVectors<Main>(c, &km);
    if constexpr (SameType<Main, Tail>::kValue) {
        f(km, km);
    } else {
        FrameVectors<Tail> kt;
        FillFrameVectors<Tail>(c, &kt);
        f(km, kt);
    }
}

template <class V>
void FillFrameVectors(const FrameCoefficients& c, FrameVectors<V>* k) {
    k->zero = V::Zero();
    k->four = V::Set16(4);
    k->two = V::Set16(2);
    k->max255 = V::Set16(255);
    k->lowBytes = V::Set16(0x00FF);
    k->opaque = V::Set8(0xFF);
    for (int j = 0; j < 3; ++j) {
        k->gain[j] = V::Set16(c.doubledGain[j]);
        for (int i = 0; i < 3; ++i) {
            k->positive[j][i] = V::Set16(c.positive[j][i]);
            k->negative[j][i] = V::Set16(c.negative[j][i]);
            k->positiveWide[j][i] = V::Set32(WidePair(c.positive[j][i]));
            k->negativeWide[j][i] = V::Set32(WidePair(c.negative[j][i]));
        }
        k->positiveConstant[j] = V::Set16(c.positiveConstant[j]);
        k->negativeConstant[j] = V::Set16(c.negativeConstant[j]);
        k->positiveConstantWide[j] = V::Set32(c.positiveConstant[j]);
        k->negativeConstantWide[j] = V::Set32(c.negativeConstant[j]);
    }
    for (int j = 0; j < 3; ++j)
        k->matrixPass[j] = kMatrixPasses<V>.entries[MatrixPattern(c, j)];
    k->lumaRed = V::Set16(77);
    k->lumaGreen = V::Set16(150);
    k->lumaBlue = V::Set16(29);
}

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

    const T center = e0[q + 2];
    const T cross1 = V::Add(V::Add(up[q + 1], down[q + 1]), V::Add(e0[q + 1], e0[q + 3]));
    const T cross2 = V::Add(V::Add(up2[q], down2[q]), V::Add(e0[q], e0[q + 4]));
    const T diag = V::Add(V::Add(up[q], up[q + 2]), V::Add(down[q], down[q + 2]));
    // The rounding terms (+4 for F1, +8 for the others) ride on shared partial sums: adding
    // them before the clamp at 0 instead of after changes nothing, as they are below the
    // divisor.
    const T center2 = V::Add(V::template Shl<1>(center), k.two);  // 2S + 2
    T f1 = V::Sub(V::template Shl<1>(V::Add(center2, cross1)), cross2);
    T f4 =
        V::Add(V::template Shl<2>(V::Sub(V::Add(V::Add(center2, center), diag), cross2)), cross2);

    const T green = e0[g + 2];
    const T row1 = V::Add(e0[g + 1], e0[g + 3]);
    const T col1 = V::Add(up[g + 1], down[g + 1]);
    const T row2 = V::Add(e0[g], e0[g + 4]);
    const T col2 = V::Add(up2[g], down2[g]);
    const T gdiag = V::Add(V::Add(up[g], up[g + 2]), V::Add(down[g], down[g + 2]));
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

inline int FrameModeOf(const FrameCoefficients& c) {
    bool unit = c.doubledGain[0] == 256 && c.doubledGain[1] == 256 && c.doubledGain[2] == 256;
    return (c.wideSums ? kWideSums : 0) | (unit ? kUnitGains : 0);
}

// Columns converted per pass over a row: inputs and results of the matrix stay in L1.
constexpr ULONG kChunkColumns = 128;

// Blocks starting at columns begin, begin + V::kColumns, ... below end, of one row. With
// 16-bit sums the row goes in chunks: demosaic and gains for a chunk, then one matrix pass
// per output channel (specialised for the frame's coefficient signs, so products known to be
// zero cost nothing), then packing.
template <class V, bool GreenOdd, bool RedRow, int Mode>
void ColorBlocks(const FrameVectors<V>& k, const UCHAR* row, LONG_PTR pitch, UCHAR* out,
                 ULONG begin, ULONG end, ULONG width) {
    using T = typename V::T;
    if constexpr ((Mode & kWideSums) != 0) {
        for (ULONG c = begin; c < end; c += V::kColumns) {
            Rgb<V> even, odd;
            Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &even, &odd);
            if (!(Mode & kUnitGains)) {
                ApplyGains<V>(k, &even);
                ApplyGains<V>(k, &odd);
            }
            T packed[3];
            for (int j = 0; j < 3; ++j) {
                packed[j] = V::PackUnsigned8(MatrixChannel<V, Mode>(k, even, j),
                                             MatrixChannel<V, Mode>(k, odd, j));
            }
            StoreBlock<V>(k, packed[2], packed[1], packed[0], out + 4 * SIZE_T(c), width - c);
        }
    } else {
        constexpr int kBlocks = int(kChunkColumns / V::kColumns);
        T in[2 * kBlocks][3];
        T result[3][2 * kBlocks];
        for (ULONG chunk = begin; chunk < end; chunk += kChunkColumns) {
            int blocks = 0;
            for (ULONG c = chunk; c < end && blocks < kBlocks; c += V::kColumns, ++blocks) {
                Rgb<V> even, odd;
                Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &even, &odd);
                if (!(Mode & kUnitGains)) {
                    ApplyGains<V>(k, &even);
                    ApplyGains<V>(k, &odd);
                }
                T* e = in[2 * blocks];
                T* o = in[2 * blocks + 1];
                e[0] = even.r, e[1] = even.g, e[2] = even.b;
                o[0] = odd.r, o[1] = odd.g, o[2] = odd.b;
            }
            for (int j = 0; j < 3; ++j)
                k.matrixPass[j](k, j, in, result[j], 2 * blocks);
            for (int b = 0; b < blocks; ++b) {
                const ULONG c = chunk + ULONG(b) * V::kColumns;
                StoreBlock<V>(k, V::PackUnsigned8(result[2][2 * b], result[2][2 * b + 1]),
                              V::PackUnsigned8(result[1][2 * b], result[1][2 * b + 1]),
                              V::PackUnsigned8(result[0][2 * b], result[0][2 * b + 1]),
                              out + 4 * SIZE_T(c), width - c);
            }
        }
    }
}

template <class V>
inline typename V::T Luma(const FrameVectors<V>& k, const Rgb<V>& x) {
    return V::Add(V::Add(V::template Shr<8>(V::MulLo(x.r, k.lumaRed)),
                         V::template Shr<8>(V::MulLo(x.g, k.lumaGreen))),
                  V::template Shr<8>(V::MulLo(x.b, k.lumaBlue)));
}

template <class V, bool GreenOdd, bool RedRow, int Mode>
void GreyBlocks(const FrameVectors<V>& k, const UCHAR* row, LONG_PTR pitch, UCHAR* out, ULONG begin,
                ULONG end, ULONG width) {
    for (ULONG c = begin; c < end; c += V::kColumns) {
        Rgb<V> even, odd;
        Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &even, &odd);
        if (!(Mode & kUnitGains)) {
            ApplyGains<V>(k, &even);
            ApplyGains<V>(k, &odd);
        }
        typename V::T y = V::PackUnsigned8(Luma<V>(k, even), Luma<V>(k, odd));
        StoreBlock<V>(k, y, y, y, out + 4 * SIZE_T(c), width - c);
    }
}

// Adds the row's unbalanced colours to the sums; columns at or past `width` do not count.
template <class V, bool GreenOdd, bool RedRow>
void MeasureBlocks(const FrameVectors<V>& k, const UCHAR* row, LONG_PTR pitch, ULONG begin,
                   ULONG end, ULONG width, typename V::T sums[3]) {
    for (ULONG c = begin; c < end; c += V::kColumns) {
        Rgb<V> even, odd;
        Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &even, &odd);
        typename V::T r = V::PackUnsigned8(even.r, odd.r);
        typename V::T g = V::PackUnsigned8(even.g, odd.g);
        typename V::T b = V::PackUnsigned8(even.b, odd.b);
        if (width - c < V::kColumns) {
            typename V::T valid = V::ColumnsBelow(int(width - c));
            r = V::And(r, valid);
            g = V::And(g, valid);
            b = V::And(b, valid);
        }
        sums[0] = V::Add64(sums[0], V::SumBytes(r));
        sums[1] = V::Add64(sums[1], V::SumBytes(g));
        sums[2] = V::Add64(sums[2], V::SumBytes(b));
    }
}

// A frame is walked in blocks of Main::kColumns while their reads stay within those of
// 16-column blocks (at most 17 bytes past the last 16-column block's first column), and
// finished in blocks of Tail::kColumns.
inline ULONG MainEnd(ULONG width, ULONG mainColumns) {
    ULONG covered = (width + 15) / 16 * 16;
    return covered / mainColumns * mainColumns;
}

template <class Main, class Tail, int Phase, int Parity, int Mode>
void ColorRow(const FrameVectors<Main>& km, const FrameVectors<Tail>& kt, const UCHAR* row,
              LONG_PTR pitch, UCHAR* out, ULONG width, ULONG mainEnd) {
    using Kind = RowKind<Phase, Parity>;
    ColorBlocks<Main, Kind::kGreenOdd, Kind::kRedRow, Mode>(km, row, pitch, out, 0, mainEnd, width);
    ColorBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow, Mode>(kt, row, pitch, out, mainEnd, width,
                                                            width);
}

template <class Main, class Tail, int Phase, int Mode>
void ColorRows(ImagePipeline* p, const FrameVectors<Main>& km, const FrameVectors<Tail>& kt) {
    const ULONG w = p->frameWidth, h = p->frameHeight;
    const LONG_PTR pitch = p->framePitch;
    const ULONG mainEnd = MainEnd(w, Main::kColumns);
    for (ULONG y = 0; y < h; ++y) {
        const UCHAR* row = p->imageOrigin + LONG_PTR(y) * pitch;
        UCHAR* out = p->outputCursor + SIZE_T(y) * w * 4;
        if (y & 1) {
            ColorRow<Main, Tail, Phase, 1, Mode>(km, kt, row, pitch, out, w, mainEnd);
        } else {
            ColorRow<Main, Tail, Phase, 0, Mode>(km, kt, row, pitch, out, w, mainEnd);
        }
    }
    p->outputCursor += SIZE_T(w) * h * 4;
}

template <class Main, class Tail, int Phase>
void ConvertColor(ImagePipeline* p) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    WithFrameVectors<Main, Tail>(c, [&](const auto& km, const auto& kt) {
        switch (FrameModeOf(c)) {
            case 0:
                ColorRows<Main, Tail, Phase, 0>(p, km, kt);
                break;
            case kUnitGains:
                ColorRows<Main, Tail, Phase, kUnitGains>(p, km, kt);
                break;
            case kWideSums:
                ColorRows<Main, Tail, Phase, kWideSums>(p, km, kt);
                break;
            default:
                ColorRows<Main, Tail, Phase, kWideSums | kUnitGains>(p, km, kt);
                break;
        }
    });
}

template <class Main, class Tail, int Phase, int Mode>
void GreyRows(ImagePipeline* p, const FrameVectors<Main>& km, const FrameVectors<Tail>& kt) {
    const ULONG w = p->frameWidth, h = p->frameHeight;
    const LONG_PTR pitch = p->framePitch;
    const ULONG mainEnd = MainEnd(w, Main::kColumns);
    for (ULONG y = 0; y < h; ++y) {
        const UCHAR* row = p->imageOrigin + LONG_PTR(y) * pitch;
        UCHAR* out = p->outputCursor + SIZE_T(y) * w * 4;
        if (y & 1) {
            using Kind = RowKind<Phase, 1>;
            GreyBlocks<Main, Kind::kGreenOdd, Kind::kRedRow, Mode>(km, row, pitch, out, 0, mainEnd,
                                                                   w);
            GreyBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow, Mode>(kt, row, pitch, out, mainEnd, w,
                                                                   w);
        } else {
            using Kind = RowKind<Phase, 0>;
            GreyBlocks<Main, Kind::kGreenOdd, Kind::kRedRow, Mode>(km, row, pitch, out, 0, mainEnd,
                                                                   w);
            GreyBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow, Mode>(kt, row, pitch, out, mainEnd, w,
                                                                   w);
        }
    }
    p->outputCursor += SIZE_T(w) * h * 4;
}

template <class Main, class Tail, int Phase>
void ConvertGrey(ImagePipeline* p) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    WithFrameVectors<Main, Tail>(c, [&](const auto& km, const auto& kt) {
        if (FrameModeOf(c) & kUnitGains) {
            GreyRows<Main, Tail, Phase, kUnitGains>(p, km, kt);
        } else {
            GreyRows<Main, Tail, Phase, 0>(p, km, kt);
        }
    });
}

template <class Main, class Tail, int Phase>
void MeasureRows(ImagePipeline* p, const FrameVectors<Main>& km, const FrameVectors<Tail>& kt,
                 ULONGLONG totals[3]) {
    typename Main::T sm[3] = {Main::Zero(), Main::Zero(), Main::Zero()};
    typename Tail::T st[3] = {Tail::Zero(), Tail::Zero(), Tail::Zero()};
    const ULONG w = p->frameWidth, h = p->frameHeight;
    const LONG_PTR pitch = p->framePitch;
    const ULONG mainEnd = MainEnd(w, Main::kColumns);
    for (ULONG y = 0; y < h; ++y) {
        const UCHAR* row = p->imageOrigin + LONG_PTR(y) * pitch;
        if (y & 1) {
            using Kind = RowKind<Phase, 1>;
            MeasureBlocks<Main, Kind::kGreenOdd, Kind::kRedRow>(km, row, pitch, 0, mainEnd, w, sm);
            MeasureBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow>(kt, row, pitch, mainEnd, w, w, st);
        } else {
            using Kind = RowKind<Phase, 0>;
            MeasureBlocks<Main, Kind::kGreenOdd, Kind::kRedRow>(km, row, pitch, 0, mainEnd, w, sm);
            MeasureBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow>(kt, row, pitch, mainEnd, w, w, st);
        }
    }
    for (int i = 0; i < 3; ++i)
        totals[i] = Main::Total64(sm[i]) + Tail::Total64(st[i]);
}

template <class Main, class Tail, int Phase>
void MeasureWhiteBalance(ImagePipeline* p, ULONG* red, ULONG* green, ULONG* blue) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    ULONGLONG totals[3];
    WithFrameVectors<Main, Tail>(c, [&](const auto& km, const auto& kt) {
        MeasureRows<Main, Tail, Phase>(p, km, kt, totals);
    });
    WhiteBalanceGainsFromSums(totals[0], totals[1], totals[2], red, green, blue);
}

// One table per instruction set: Main for the bulk of a row, Tail for its last block.
template <class Main, class Tail>
constexpr BayerRoutines MakeBayerRoutines() {
    return {
        {ConvertColor<Main, Tail, 0>, ConvertColor<Main, Tail, 1>, ConvertColor<Main, Tail, 2>,
         ConvertColor<Main, Tail, 3>},
        {ConvertGrey<Main, Tail, 0>, ConvertGrey<Main, Tail, 1>, ConvertGrey<Main, Tail, 2>,
         ConvertGrey<Main, Tail, 3>},
        {MeasureWhiteBalance<Main, Tail, 0>, MeasureWhiteBalance<Main, Tail, 1>,
         MeasureWhiteBalance<Main, Tail, 2>, MeasureWhiteBalance<Main, Tail, 3>},
    };
}

}  // namespace
