// The per-pixel routines of the pipeline, one table per instruction set, and what every
// table shares: the per-frame coefficients and the white-balance formula.
#pragma once

#include "imaging/image_pipeline.h"

// Indexed by Bayer phase: 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG.
struct BayerRoutines {
    void (*ConvertColorFrame[4])(ImagePipeline* pipeline);
    void (*ConvertGreyFrame[4])(ImagePipeline* pipeline);
    void (*MeasureWhiteBalance[4])(ImagePipeline* pipeline, ULONG* red, ULONG* green, ULONG* blue);
};

// SSE2: what every x64 processor runs, and what a frame falls back to.
extern const BayerRoutines kBayerRoutinesSse2;
// AVX2 and AVX-512 (BW, VBMI): platform/cpu_features.h decides when a frame may use them.
extern const BayerRoutines kBayerRoutinesAvx2;
extern const BayerRoutines kBayerRoutinesAvx512;

// ProcessRawFrame with a given table, so each table can be checked and measured on its own.
void ProcessRawFrameWith(ImagePipeline* pipeline, const BayerRoutines* routines,
                         const UCHAR* rawFrame, ULONG offset, ULONG rowStep);
BOOLEAN ProcessRawFrameIntoWith(ImagePipeline* pipeline, const BayerRoutines* routines,
                                const UCHAR* rawFrame, ULONG offset, ULONG rowStep, PUCHAR firstRow,
                                LONG_PTR outputStep);

// The image row a padded row holds once the margins are filled (frames of 8 rows or more):
// each margin row repeats the row of its own colours an even distance inside.
inline LONG MappedRow(LONG r, LONG height) {
    return r < 0 ? -r : r >= height ? r - 4 : r;
}

// Copies the image into the padded raw buffer and fills its margins.
void LoadRawFrame(ImagePipeline* pipeline, const UCHAR* rawFrame, ULONG offset, ULONG rowStep);
// What a conversion needs of the padded buffer when it reads the image's interior straight
// from the raw frame: each row's first and last kEdgeColumns columns, margins included.
// Frames too small for their margins to be filled are copied whole, as LoadRawFrame does.
void LoadRawEdges(ImagePipeline* pipeline, const UCHAR* rawFrame, ULONG offset, ULONG rowStep);
// Columns at each end of a row that LoadRawEdges copies: every block of up to 64 columns
// whose reads (two columns either side, and two more on the right) leave the image reads
// only there.
constexpr ULONG kEdgeColumns = 68;

// frameMatrix := fixedMatrix and the positive flags, consistent with any concurrent rebuild.
void SnapshotFixedMatrix(ImagePipeline* pipeline);

// What the conversion routines take from the frame's gains and matrix, in the widths they
// compute in. Gains: a 16-bit gain g acts as min(255, (g * v) >> 7); gains of 32767 and
// above all give 255 for every non-zero value, so the routines use doubledGain = 2 * min(g,
// 32767) with a high multiply of v << 8. Matrix: per output channel j and input i (0 red,
// 1 green, 2 blue), the coefficient magnitude goes to the positive or the negative sum.
struct FrameCoefficients {
    USHORT doubledGain[3];  // red, green, blue
    USHORT positive[3][3];  // [output channel][input]
    USHORT negative[3][3];
    USHORT positiveConstant[3];
    USHORT negativeConstant[3];
    // Some sum can exceed 16 bits for a bright enough pixel: compute the sums in 32 bits.
    BOOLEAN wideSums;
};
void PrepareFrameCoefficients(const ImagePipeline* pipeline, FrameCoefficients* coefficients);

// Grey-world gains from the frame's colour sums. When a sum is zero there is nothing to
// balance against, and the gains stay as they are; measured gains are limited to 65535.
void WhiteBalanceGainsFromSums(ULONGLONG sumRed, ULONGLONG sumGreen, ULONGLONG sumBlue, ULONG* red,
                               ULONG* green, ULONG* blue);
