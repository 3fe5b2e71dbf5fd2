// The pixel routines, written once over a vector type (Vec128, Vec256 or Vec512) and instantiated
// by each instruction set's file. Everything has internal linkage, so the copies built for
// different instruction sets stay apart. This file walks rows and frames; bayer_block.h
// holds what is done to one block, bayer_frame_vectors.h the per-frame state.
#pragma once

#include "imaging/bayer_block.h"

namespace {

inline int FrameModeOf(const FrameCoefficients& c) {
    bool unit = c.doubledGain[0] == 256 && c.doubledGain[1] == 256 && c.doubledGain[2] == 256;
    return (c.wideSums ? kWideSums : 0) | (unit ? kUnitGains : 0);
}

// Columns are taken in blocks of Main::kColumns while their reads stay within those of
// 16-column blocks (at most 17 bytes past the last 16-column block's first column), and
// finished in blocks of Tail::kColumns.
inline ULONG MainEnd(ULONG width, ULONG mainColumns) {
    ULONG covered = (width + 15) / 16 * 16;
    return covered / mainColumns * mainColumns;
}

// A frame is walked in vertical strips of blocks, each from the top row down. For every
// input row, the strip's row sums are formed once into a ring of five rows; each output row
// then reads the five rows around it. The ring stays in L1 (a strip of 256 columns for the
// wide vectors, 48 for 128-bit ones); it lives in the pipeline's scratch, as a kernel stack
// frame could not hold it at the widest vectors.
template <class V>
constexpr int kStripBlocks = V::kColumns == 16 ? 3 : int(256 / V::kColumns);

// Calls row(y, window, strip, blocks) for every image row y of every strip of columns
// [begin, end): `window` holds the five rows of sums around row y, `strip` is the strip's
// first column and `blocks` its number of blocks.
template <class V, class RowFn>
inline __attribute__((always_inline)) void WalkStrips(const FrameVectors<V>& k,
                                                      const ImagePipeline* p, ULONG begin,
                                                      ULONG end, RowFn&& row) {
    constexpr ULONG kStripColumns = kStripBlocks<V> * V::kColumns;
    const LONG h = LONG(p->frameHeight);
    const LONG_PTR pitch = p->framePitch;
    if (h == 0)
        return;
    static_assert(sizeof(RowSums<V>) * 5 * kStripBlocks<V> <= kScratchStrip - kScratchRing,
                  "the ring fits its area");
    auto ring = reinterpret_cast<RowSums<V>(*)[kStripBlocks<V>]>(k.work + kScratchRing);
    for (ULONG strip = begin; strip < end; strip += kStripColumns) {
        const ULONG columns = end - strip < kStripColumns ? end - strip : kStripColumns;
        const int blocks = int((columns + V::kColumns - 1) / V::kColumns);
        const UCHAR* padded = p->imageOrigin + strip;
        const UCHAR* direct = p->sourceOrigin + strip;
        // Blocks [first, last) read only inside the image, so straight from the source; the
        // others read the margins, which only the padded buffer has.
        const int first = strip >= 2 ? 0 : 1;
        int last = blocks;
        while (last > first && strip + ULONG(last) * V::kColumns + 2 > p->frameWidth)
            --last;
        auto sumRow = [&](LONG r, RowSums<V>* sums) {
            const UCHAR* s = padded + LONG_PTR(r) * pitch;
            const LONG mapped = p->sourceRowsMapped ? MappedRow(r, h) : r;
            const UCHAR* d = direct + LONG_PTR(mapped) * p->sourceStep;
            for (int b = 0; b < blocks; ++b) {
                const bool inside = b >= first && b < last;
                SumRow<V>(k, (inside ? d : s) + b * V::kColumns, &sums[b]);
            }
        };
        RowSums<V>* window[5] = {ring[0], ring[1], ring[2], ring[3], ring[4]};
        for (int i = 0; i < 4; ++i)
            sumRow(i - 2, window[i]);
        for (LONG y = 0; y < h; ++y) {
            sumRow(y + 2, window[4]);
            row(ULONG(y), window, strip, blocks);
            RowSums<V>* oldest = window[0];
            window[0] = window[1];
            window[1] = window[2];
            window[2] = window[3];
            window[3] = window[4];
            window[4] = oldest;
        }
    }
}

// WalkStrips, with the row's colour arrangement handed to `row(kind, y, window, strip, blocks)`
// as a RowKind value, so that every row runs code specialised for its arrangement.
template <class V, int Phase, class RowFn>
inline __attribute__((always_inline)) void WalkStripRows(const FrameVectors<V>& k,
                                                         const ImagePipeline* p, ULONG begin,
                                                         ULONG end, RowFn&& row) {
    WalkStrips<V>(k, p, begin, end, [&](ULONG y, RowWindow<V> rows, ULONG strip, int blocks) {
        if (y & 1)
            row(RowKind<Phase, 1>{}, y, rows, strip, blocks);
        else
            row(RowKind<Phase, 0>{}, y, rows, strip, blocks);
    });
}

// The colour-correction shape of matrix (see FrameVectors::diagonalMatrix) applied straight
// after the demosaic of each block: the most common settings skip the round trip through
// the matrix passes. `out` is the
// strip's first pixel and `remaining` the row's pixels from there on.
template <class V, bool GreenOdd, bool RedRow, int Mode, bool Constants>
void DiagonalColorStrip(const FrameVectors<V>& k, RowWindow<V> rows, int blocks, UCHAR* out,
                        ULONG remaining) {
    using T = typename V::T;
    WindowCursor<V> w(rows);
    for (int blk = 0; blk < blocks; ++blk, w.Next()) {
        const ULONG c = ULONG(blk) * V::kColumns;
        Rgb<V> x[2];
        Demosaic<V, GreenOdd, RedRow>(k, w.row, 0, &x[0], &x[1]);
        T result[2][3];
        for (int parity = 0; parity < 2; ++parity) {
            if (!(Mode & kUnitGains))
                ApplyGains<V>(k, &x[parity]);
            const T in[3] = {x[parity].r, x[parity].g, x[parity].b};
            for (int j = 0; j < 3; ++j) {
                const int i1 = j == 0 ? 1 : 0, i2 = j == 2 ? 1 : 2;
                T p = V::MulLo(in[j], k.positive[j][j]);
                T n = V::Add(V::MulLo(in[i1], k.negative[j][i1]),
                             V::MulLo(in[i2], k.negative[j][i2]));
                if (Constants) {
                    p = V::Add(p, k.positiveConstant[j]);
                    n = V::Add(n, k.negativeConstant[j]);
                }
                result[parity][j] = V::Sub(V::template Shr<6>(p), V::template Shr<6>(n));
            }
        }
        StoreBlock<V>(k, V::PackUnsigned8(result[0][2], result[1][2]),
                      V::PackUnsigned8(result[0][1], result[1][1]),
                      V::PackUnsigned8(result[0][0], result[1][0]), out + 4 * SIZE_T(c),
                      remaining - c);
    }
}

// Unit gains and the colour-correction shape without constants, on byte pairs: the pack
// that pairs the two interpolated values of a lane also clamps them to 0..255.
template <class V, bool GreenOdd, bool RedRow>
void ByteMatrixColorStrip(const FrameVectors<V>& k, RowWindow<V> rows, int blocks, UCHAR* out,
                          ULONG remaining) {
    using T = typename V::T;
    constexpr int kRed = 0, kGreen = 1, kBlue = 2;
    // The colour of the row's own red or blue samples, and the other one.
    constexpr int kOwn = RedRow ? kRed : kBlue, kOther = RedRow ? kBlue : kRed;
    WindowCursor<V> w(rows);
    for (int blk = 0; blk < blocks; ++blk, w.Next()) {
        const ULONG c = ULONG(blk) * V::kColumns;
        const Filters<V> f = DemosaicFilters<V, GreenOdd>(k, w.row, 0);
        T colour[3], green[3];
        ByteMatrix<V>(k, f.center, V::InterleavePacked(V::PackUnsigned8(f.f1, f.f4)), kOwn, kGreen,
                      kOther, colour);
        const T f2 = V::template ShrSigned<4>(f.f2), f3 = V::template ShrSigned<4>(f.f3);
        ByteMatrix<V>(k, f.green, V::InterleavePacked(V::PackUnsigned8(f2, f3)), kGreen, kOwn,
                      kOther, green);
        const T* even = GreenOdd ? colour : green;
        const T* odd = GreenOdd ? green : colour;
        StoreBlock<V>(k, V::PackUnsigned8(even[2], odd[2]), V::PackUnsigned8(even[1], odd[1]),
                      V::PackUnsigned8(even[0], odd[0]), out + 4 * SIZE_T(c), remaining - c);
    }
}

// One strip of one row. With 32-bit sums each block is converted whole. With 16-bit sums
// the strip goes in two steps: demosaic and gains for all its blocks, then one matrix pass
// per output channel (specialised for the frame's coefficient signs, so products known to
// be zero cost nothing), then packing.
template <class V, bool GreenOdd, bool RedRow, int Mode>
void ColorStrip(const FrameVectors<V>& k, RowWindow<V> rows, int blocks, UCHAR* out,
                ULONG remaining) {
    using T = typename V::T;
    if constexpr ((Mode & kWideSums) != 0) {
        WindowCursor<V> w(rows);
        for (int blk = 0; blk < blocks; ++blk, w.Next()) {
            const ULONG c = ULONG(blk) * V::kColumns;
            Rgb<V> even, odd;
            Demosaic<V, GreenOdd, RedRow>(k, w.row, 0, &even, &odd);
            if (!(Mode & kUnitGains)) {
                ApplyGains<V>(k, &even);
                ApplyGains<V>(k, &odd);
            }
            T packed[3];
            for (int j = 0; j < 3; ++j) {
                packed[j] = V::PackUnsigned8(MatrixChannel<V, Mode>(k, even, j),
                                             MatrixChannel<V, Mode>(k, odd, j));
            }
            StoreBlock<V>(k, packed[2], packed[1], packed[0], out + 4 * SIZE_T(c), remaining - c);
        }
    } else if (k.diagonalMatrix) {
        if constexpr (V::kByteShuffles && (Mode & kUnitGains) != 0) {
            if (k.byteMatrix) {
                ByteMatrixColorStrip<V, GreenOdd, RedRow>(k, rows, blocks, out, remaining);
                return;
            }
        }
        if (k.constantTerms) {
            DiagonalColorStrip<V, GreenOdd, RedRow, Mode, true>(k, rows, blocks, out, remaining);
        } else {
            DiagonalColorStrip<V, GreenOdd, RedRow, Mode, false>(k, rows, blocks, out, remaining);
        }
    } else {
        constexpr ULONG kInBytes = sizeof(T) * 3 * 2 * kStripBlocks<V>;
        static_assert(2 * kInBytes <= kVectorScratchBytes - kScratchStrip, "strip area fits");
        auto in = reinterpret_cast<T(*)[3]>(k.work + kScratchStrip);
        auto result =
            reinterpret_cast<T(*)[2 * kStripBlocks<V>]>(k.work + kScratchStrip + kInBytes);
        WindowCursor<V> w(rows);
        for (int blk = 0; blk < blocks; ++blk, w.Next()) {
            Rgb<V> x[2];
            Demosaic<V, GreenOdd, RedRow>(k, w.row, 0, &x[0], &x[1]);
            for (int parity = 0; parity < 2; ++parity) {
                if (!(Mode & kUnitGains))
                    ApplyGains<V>(k, &x[parity]);
                T* dst = in[2 * blk + parity];
                dst[0] = x[parity].r;
                dst[1] = x[parity].g;
                dst[2] = x[parity].b;
            }
        }
        for (int j = 0; j < 3; ++j)
            k.matrixPass[j](k, j, in, result[j], 2 * blocks);
        for (int blk = 0; blk < blocks; ++blk) {
            const ULONG c = ULONG(blk) * V::kColumns;
            StoreBlock<V>(k, V::PackUnsigned8(result[2][2 * blk], result[2][2 * blk + 1]),
                          V::PackUnsigned8(result[1][2 * blk], result[1][2 * blk + 1]),
                          V::PackUnsigned8(result[0][2 * blk], result[0][2 * blk + 1]),
                          out + 4 * SIZE_T(c), remaining - c);
        }
    }
}

// Columns [begin, end) of every row, in blocks of V::kColumns.
template <class V, int Phase, int Mode>
void ColorColumns(ImagePipeline* p, const FrameVectors<V>& k, ULONG begin, ULONG end) {
    const ULONG w = p->frameWidth;
    UCHAR* image = p->outputCursor;
    WalkStripRows<V, Phase>(
        k, p, begin, end, [&](auto kind, ULONG y, RowWindow<V> rows, ULONG strip, int blocks) {
            using Kind = decltype(kind);
            UCHAR* out = image + LONG_PTR(y) * p->outputStep + LONG_PTR(strip) * 4;
            ColorStrip<V, Kind::kGreenOdd, Kind::kRedRow, Mode>(k, rows, blocks, out, w - strip);
        });
}

template <class Main, class Tail, int Phase, int Mode>
void ColorRows(ImagePipeline* p, const FrameVectors<Main>& km, const FrameVectors<Tail>& kt) {
    const ULONG w = p->frameWidth, h = p->frameHeight;
    const ULONG mainEnd = MainEnd(w, Main::kColumns);
    ColorColumns<Main, Phase, Mode>(p, km, 0, mainEnd);
    ColorColumns<Tail, Phase, Mode>(p, kt, mainEnd, w);
    p->outputCursor += LONG_PTR(h) * p->outputStep;
}

// Each (w * x) >> 8 as the high half of x * (w << 8).
template <class V>
inline typename V::T Luma(const FrameVectors<V>& k, const Rgb<V>& x) {
    return V::Add(V::Add(V::MulHiU(x.r, k.lumaRed), V::MulHiU(x.g, k.lumaGreen)),
                  V::MulHiU(x.b, k.lumaBlue));
}

template <class V, bool GreenOdd, bool RedRow, int Mode>
void GreyStrip(const FrameVectors<V>& k, RowWindow<V> rows, int blocks, UCHAR* out,
               ULONG remaining) {
    WindowCursor<V> w(rows);
    for (int blk = 0; blk < blocks; ++blk, w.Next()) {
        const ULONG c = ULONG(blk) * V::kColumns;
        Rgb<V> even, odd;
        Demosaic<V, GreenOdd, RedRow>(k, w.row, 0, &even, &odd);
        if (!(Mode & kUnitGains)) {
            ApplyGains<V>(k, &even);
            ApplyGains<V>(k, &odd);
        }
        typename V::T y = V::PackUnsigned8(Luma<V>(k, even), Luma<V>(k, odd));
        if constexpr (V::kByteShuffles) {
            StorePixelBlock<V>(
                V::template GreyPixels<0>(y, k.alpha), V::template GreyPixels<1>(y, k.alpha),
                V::template GreyPixels<2>(y, k.alpha), V::template GreyPixels<3>(y, k.alpha),
                out + 4 * SIZE_T(c), remaining - c);
        } else {
            StoreBlock<V>(k, y, y, y, out + 4 * SIZE_T(c), remaining - c);
        }
    }
}

template <class V, int Phase, int Mode>
void GreyColumns(ImagePipeline* p, const FrameVectors<V>& k, ULONG begin, ULONG end) {
    const ULONG w = p->frameWidth;
    UCHAR* image = p->outputCursor;
    WalkStripRows<V, Phase>(
        k, p, begin, end, [&](auto kind, ULONG y, RowWindow<V> rows, ULONG strip, int blocks) {
            using Kind = decltype(kind);
            UCHAR* out = image + LONG_PTR(y) * p->outputStep + LONG_PTR(strip) * 4;
            GreyStrip<V, Kind::kGreenOdd, Kind::kRedRow, Mode>(k, rows, blocks, out, w - strip);
        });
}

// Adds the strip's unbalanced colours to the sums; columns at or past the row's end do not
// count. The demosaic leaves the clamp to the pack.
template <class V, bool GreenOdd, bool RedRow>
void MeasureStrip(const FrameVectors<V>& k, RowWindow<V> rows, int blocks, ULONG remaining,
                  typename V::T sums[3]) {
    WindowCursor<V> w(rows);
    for (int blk = 0; blk < blocks; ++blk, w.Next()) {
        const ULONG c = ULONG(blk) * V::kColumns;
        Rgb<V> even, odd;
        Demosaic<V, GreenOdd, RedRow, false>(k, w.row, 0, &even, &odd);
        typename V::T r = V::PackUnsigned8(even.r, odd.r);
        typename V::T g = V::PackUnsigned8(even.g, odd.g);
        typename V::T b = V::PackUnsigned8(even.b, odd.b);
        if (remaining - c < V::kColumns) {
            typename V::T valid = V::ColumnsBelow(int(remaining - c));
            r = V::And(r, valid);
            g = V::And(g, valid);
            b = V::And(b, valid);
        }
        sums[0] = V::Add64(sums[0], V::SumBytes(r));
        sums[1] = V::Add64(sums[1], V::SumBytes(g));
        sums[2] = V::Add64(sums[2], V::SumBytes(b));
    }
}

template <class Main, class Tail, int Phase>
void ConvertColor(ImagePipeline* p) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    WithFrameVectors<Main, Tail>(p, c, [&](const auto& km, const auto& kt) {
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
    const ULONG mainEnd = MainEnd(w, Main::kColumns);
    GreyColumns<Main, Phase, Mode>(p, km, 0, mainEnd);
    GreyColumns<Tail, Phase, Mode>(p, kt, mainEnd, w);
    p->outputCursor += LONG_PTR(h) * p->outputStep;
}

template <class Main, class Tail, int Phase>
void ConvertGrey(ImagePipeline* p) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    WithFrameVectors<Main, Tail>(p, c, [&](const auto& km, const auto& kt) {
        if (FrameModeOf(c) & kUnitGains) {
            GreyRows<Main, Tail, Phase, kUnitGains>(p, km, kt);
        } else {
            GreyRows<Main, Tail, Phase, 0>(p, km, kt);
        }
    });
}

template <class V, int Phase>
void MeasureColumns(const ImagePipeline* p, const FrameVectors<V>& k, ULONG begin, ULONG end,
                    ULONGLONG totals[3]) {
    typename V::T sums[3] = {V::Zero(), V::Zero(), V::Zero()};
    const ULONG w = p->frameWidth;
    WalkStripRows<V, Phase>(
        k, p, begin, end, [&](auto kind, ULONG, RowWindow<V> rows, ULONG strip, int blocks) {
            using Kind = decltype(kind);
            MeasureStrip<V, Kind::kGreenOdd, Kind::kRedRow>(k, rows, blocks, w - strip, sums);
        });
    for (int i = 0; i < 3; ++i)
        totals[i] += V::Total64(sums[i]);
}

template <class Main, class Tail, int Phase>
void MeasureWhiteBalance(ImagePipeline* p, ULONG* red, ULONG* green, ULONG* blue) {
    FrameCoefficients c;
    PrepareFrameCoefficients(p, &c);
    ULONGLONG totals[3] = {0, 0, 0};
    WithFrameVectors<Main, Tail>(p, c, [&](const auto& km, const auto& kt) {
        const ULONG mainEnd = MainEnd(p->frameWidth, Main::kColumns);
        MeasureColumns<Main, Phase>(p, km, 0, mainEnd, totals);
        MeasureColumns<Tail, Phase>(p, kt, mainEnd, p->frameWidth, totals);
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
