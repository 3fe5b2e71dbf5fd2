// The per-frame state of the pixel routines: which samples a row holds, the frame's
// gains and matrix filled into every lane, and the matrix passes specialised for the signs
// of the frame's coefficients. Internal linkage throughout (see bayer_kernels.h).
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
    T zero, two, four, max255, lowBytes, opaque, alpha;
    T gain[3];
    // Matrix sums in 16 bits: [output channel][input].
    T positive[3][3], negative[3][3], positiveConstant[3], negativeConstant[3];
    // Matrix sums in 32 bits: each coefficient m as the pair (m & 0x7FFF, (m >> 15) << 8),
    // which a multiply-add with (x, x << 7) turns into x * m for any 16-bit m.
    T positiveWide[3][3], negativeWide[3][3], positiveConstantWide[3], negativeConstantWide[3];
    // Luminance weights, shifted up by 8 bits.
    T lumaRed, lumaGreen, lumaBlue;
    // Specialised for the frame's coefficient signs.
    MatrixPassFn<V> matrixPass[3];
    // Each channel's own input adds to its positive sum and the other two inputs to its
    // negative sum (the colour-correction shape); constantTerms: some constant is not zero.
    bool diagonalMatrix, constantTerms;
    // The colour-correction shape without constants on byte pairs (where V has byte
    // multiply-adds): byteNegative[j][i] holds, per 16-bit lane, the negative coefficients of
    // output j for input i (low byte) and for the third input (high byte); diagonalQuad[j] is
    // 4 * the positive coefficient, so that a high multiply of x << 8 gives (x * m) >> 6.
    // byteMatrix: every negative coefficient fits a signed byte and no negative sum can
    // saturate a signed 16-bit lane.
    T highBytes;
    T diagonalQuad[3], byteNegative[3][3];
    bool byteMatrix;
    // The pipeline's scratch (64-byte aligned), where the strips keep their row sums.
    UCHAR* work;
};

// Where each part of the working memory lies in the pipeline's scratch. The main and the
// tail columns are walked one after the other, so they share the ring and strip areas.
constexpr ULONG kScratchMainVectors = 0;
constexpr ULONG kScratchTailVectors = 6144;
constexpr ULONG kScratchRing = 8192;
constexpr ULONG kScratchStrip = 16384;
static_assert(kScratchStrip + 4096 <= kVectorScratchBytes, "the strip area fits the scratch");

inline UCHAR* AlignedScratch(const ImagePipeline* p) {
    return reinterpret_cast<UCHAR*>((ULONG_PTR(p->vectorScratch) + 63) & ~ULONG_PTR(63));
}

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
void WithFrameVectors(const ImagePipeline* p, const FrameCoefficients& c, F&& f) {
    static_assert(sizeof(FrameVectors<Main>) <= kScratchTailVectors - kScratchMainVectors,
                  "main vectors fit their area");
    static_assert(sizeof(FrameVectors<Tail>) <= kScratchRing - kScratchTailVectors,
                  "tail vectors fit their area");
    UCHAR* scratch = AlignedScratch(p);
    auto* km = reinterpret_cast<FrameVectors<Main>*>(scratch + kScratchMainVectors);
    FillFrameVectors<Main>(c, km);
    km->work = scratch;
    if constexpr (SameType<Main, Tail>::kValue) {
        f(*km, *km);
    } else {
        auto* kt = reinterpret_cast<FrameVectors<Tail>*>(scratch + kScratchTailVectors);
        FillFrameVectors<Tail>(c, kt);
        kt->work = scratch;
        f(*km, *kt);
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
    k->alpha = V::Set32(int(0xFF000000u));
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
    k->diagonalMatrix = true;
    k->constantTerms = false;
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            if (i == j ? c.negative[j][i] != 0 : c.positive[j][i] != 0)
                k->diagonalMatrix = false;
        }
        if (c.positiveConstant[j] != 0 || c.negativeConstant[j] != 0)
            k->constantTerms = true;
    }
    k->highBytes = V::Set16(0xFF00);
    k->byteMatrix = false;
    if constexpr (V::kByteShuffles) {
        bool fits = k->diagonalMatrix && !k->constantTerms;
        for (int j = 0; j < 3; ++j) {
            k->diagonalQuad[j] = V::Set16(4 * c.positive[j][j]);
            if (4 * ULONG(c.positive[j][j]) > 0xFFFF)
                fits = false;
            for (int low = 0; low < 3; ++low) {
                if (low == j)
                    continue;
                const ULONG n1 = c.negative[j][low], n2 = c.negative[j][3 - j - low];
                if (n1 > 127 || n2 > 127 || 255 * (n1 + n2) > 32767)
                    fits = false;
                k->byteNegative[j][low] = V::Set16(int(n1 | n2 << 8));
            }
        }
        k->byteMatrix = fits;
    }
    k->lumaRed = V::Set16(77 << 8);
    k->lumaGreen = V::Set16(150 << 8);
    k->lumaBlue = V::Set16(29 << 8);
}

}  // namespace
