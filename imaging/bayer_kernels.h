// The pixel routines, written once over a vector type (Vec128 or Vec256) and instantiated
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

// A frame is walked in blocks of Main::kColumns while their reads stay within those of
// 16-column blocks (at most 17 bytes past the last 16-column block's first column), and
// finished in blocks of Tail::kColumns.
inline ULONG MainEnd(ULONG width, ULONG mainColumns) {
    ULONG covered = (width + 15) / 16 * 16;
    return covered / mainColumns * mainColumns;
}

// The colour-correction shape of matrix (see FrameVectors::diagonalMatrix) applied straight
// after the demosaic of each block. Where the vector registers allow it (AVX2), this saves
// the round trip through the chunked passes for the most common settings.
template <class V, bool GreenOdd, bool RedRow, int Mode, bool Constants>
void DiagonalColorBlocks(const FrameVectors<V>& k, const UCHAR* row, LONG_PTR pitch, UCHAR* out,
                         ULONG begin, ULONG end, ULONG width) {
    using T = typename V::T;
    for (ULONG c = begin; c < end; c += V::kColumns) {
        Rgb<V> x[2];
        Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &x[0], &x[1]);
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
                      V::PackUnsigned8(result[0][0], result[1][0]), out + 4 * SIZE_T(c), width - c);
    }
}

// Columns converted per pass: inputs and results of the matrix stay in L1 (and within the
// kernel's stack budget).
constexpr ULONG kChunkColumns = 128;

// Blocks starting at columns begin, begin + V::kColumns, ... below end, of one row. With
// 32-bit sums each block is converted whole. With 16-bit sums the row goes in chunks:
// demosaic and gains for a chunk, then one matrix pass per output channel (specialised for
// the frame's coefficient signs, so products known to be zero cost nothing), then packing.
template <class V, bool GreenOdd, bool RedRow, int Mode, bool Fuse>
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
    } else if (Fuse && k.diagonalMatrix) {
        if (k.constantTerms) {
            DiagonalColorBlocks<V, GreenOdd, RedRow, Mode, true>(k, row, pitch, out, begin, end,
                                                                 width);
        } else {
            DiagonalColorBlocks<V, GreenOdd, RedRow, Mode, false>(k, row, pitch, out, begin, end,
                                                                  width);
        }
    } else {
        constexpr int kBlocks = int(kChunkColumns / V::kColumns);
        T in[2 * kBlocks][3];
        T result[3][2 * kBlocks];
        for (ULONG chunk = begin; chunk < end; chunk += kChunkColumns) {
            int blocks = 0;
            for (ULONG c = chunk; c < end && blocks < kBlocks; c += V::kColumns, ++blocks) {
                Rgb<V> x[2];
                Demosaic<V, GreenOdd, RedRow>(k, row + c, pitch, &x[0], &x[1]);
                for (int parity = 0; parity < 2; ++parity) {
                    if (!(Mode & kUnitGains))
                        ApplyGains<V>(k, &x[parity]);
                    T* dst = in[2 * blocks + parity];
                    dst[0] = x[parity].r;
                    dst[1] = x[parity].g;
                    dst[2] = x[parity].b;
                }
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

template <class Main, class Tail, int Phase, int Parity, int Mode>
void ColorRow(const FrameVectors<Main>& km, const FrameVectors<Tail>& kt, const UCHAR* row,
              LONG_PTR pitch, UCHAR* out, ULONG width, ULONG mainEnd) {
    using Kind = RowKind<Phase, Parity>;
    // The instruction set of the bulk decides for the tail too.
    constexpr bool kFuse = Main::kFuseMatrix;
    ColorBlocks<Main, Kind::kGreenOdd, Kind::kRedRow, Mode, kFuse>(km, row, pitch, out, 0, mainEnd,
                                                                   width);
    ColorBlocks<Tail, Kind::kGreenOdd, Kind::kRedRow, Mode, kFuse>(kt, row, pitch, out, mainEnd,
                                                                   width, width);
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
