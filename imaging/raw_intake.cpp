// The one entry through which a raw frame becomes an image: copy into the padded buffer,
// snapshot the gains and the matrix, measure if asked to, convert.
#include "imaging/bayer_routines.h"
#include "platform/cpu_features.h"

namespace {

LONG ReadSlot(volatile LONG* slot) {
    return InterlockedCompareExchange(slot, 0, 0);
}

// Rows are copied as whole blocks of `width` bytes; row r lands at column 0 of image row r.
void CopyRow(ImagePipeline* p, LONG to, LONG from) {
    memcpy(p->imageOrigin + LONG_PTR(to) * p->framePitch,
           p->imageOrigin + LONG_PTR(from) * p->framePitch, p->frameWidth);
}

}  // namespace

// Uses the geometry the padded buffer was allocated for, so a size change without a new
// buffer can never write past it.
void LoadRawFrame(ImagePipeline* p, const UCHAR* rawFrame, ULONG offset, ULONG rowStep) {
    const ULONG w = p->frameWidth, h = p->frameHeight;
    const UCHAR* src = rawFrame + offset;
    p->sourceOrigin = p->imageOrigin;
    p->sourceStep = p->framePitch;
    p->sourceRowsMapped = FALSE;
    for (ULONG r = 0; r < h; ++r) {
        memcpy(p->imageOrigin + SIZE_T(r) * SIZE_T(p->framePitch), src + SIZE_T(r) * rowStep, w);
    }
    if (w < 8 || h < 8)
        return;

    // Every margin sample repeats a sample of its own colour, an even distance away.
    CopyRow(p, -2, 2);
    CopyRow(p, -1, 1);
    CopyRow(p, LONG(h), LONG(h) - 4);
    CopyRow(p, LONG(h) + 1, LONG(h) - 3);
    for (LONG r = -2; r < LONG(h) + 2; ++r) {
        PUCHAR row = p->imageOrigin + LONG_PTR(r) * p->framePitch;
        row[-1] = row[1];
        row[-2] = row[2];
        row[w] = row[w - 2];
        row[w + 1] = row[w - 3];
    }
}

BOOLEAN ProcessRawFrameIntoWith(ImagePipeline* p, const BayerRoutines* routines,
                                const UCHAR* rawFrame, ULONG offset, ULONG rowStep, PUCHAR firstRow,
                                LONG_PTR outputStep) {
    if (!firstRow || !rawFrame || !p->rawBuffer)
        return FALSE;
    LoadRawEdges(p, rawFrame, offset, rowStep);
    p->outputCursor = firstRow;
    p->outputStep = outputStep;
    p->frameRedGain = ULONG(ReadSlot(&p->redGain));
    p->frameGreenGain = ULONG(ReadSlot(&p->greenGain));
    p->frameBlueGain = ULONG(ReadSlot(&p->blueGain));
    LONG phase = ReadSlot(&p->bayerPhase);
    int variant = phase >= 0 && phase <= 2 ? int(phase) : 3;

    if (ReadSlot(&p->whiteBalanceAuto) != 0) {
        routines->MeasureWhiteBalance[variant](p, &p->frameRedGain, &p->frameGreenGain,
                                               &p->frameBlueGain);
        InterlockedExchange(&p->redGain, LONG(p->frameRedGain));
        InterlockedExchange(&p->greenGain, LONG(p->frameGreenGain));
        InterlockedExchange(&p->blueGain, LONG(p->frameBlueGain));
    }

    SnapshotFixedMatrix(p);

    if (ReadSlot(&p->colorEnable) != 0) {
        routines->ConvertColorFrame[variant](p);
    } else {
        routines->ConvertGreyFrame[variant](p);
    }
    return TRUE;
}

void LoadRawEdges(ImagePipeline* p, const UCHAR* rawFrame, ULONG offset, ULONG rowStep) {
    const ULONG w = p->frameWidth, h = p->frameHeight;
    if (w < 8 || h < 8) {
        LoadRawFrame(p, rawFrame, offset, rowStep);
        return;
    }
    const UCHAR* image = rawFrame + offset;
    p->sourceOrigin = image;
    p->sourceStep = LONG_PTR(rowStep);
    p->sourceRowsMapped = TRUE;
    const ULONG left = w < kEdgeColumns ? w : kEdgeColumns;
    const ULONG right = w - left < kEdgeColumns ? w - left : kEdgeColumns;
    for (LONG r = -2; r < LONG(h) + 2; ++r) {
        const UCHAR* from = image + SIZE_T(MappedRow(r, LONG(h))) * rowStep;
        PUCHAR row = p->imageOrigin + LONG_PTR(r) * p->framePitch;
        if (right == kEdgeColumns) {
            // Fixed-size copies, which the compiler inlines.
            memcpy(row, from, kEdgeColumns);
            memcpy(row + (w - kEdgeColumns), from + (w - kEdgeColumns), kEdgeColumns);
        } else {
            memcpy(row, from, left);
            memcpy(row + (w - right), from + (w - right), right);
        }
        row[-1] = from[1];
        row[-2] = from[2];
        row[w] = from[w - 2];
        row[w + 1] = from[w - 3];
    }
}

void ProcessRawFrameWith(ImagePipeline* p, const BayerRoutines* routines, const UCHAR* rawFrame,
                         ULONG offset, ULONG rowStep) {
    ProcessRawFrameIntoWith(p, routines, rawFrame, offset, rowStep, p->outputBuffer,
                            LONG_PTR(p->frameWidth) * 4);
}

// The widest table the platform allows for this frame; SSE2 when it allows none.
BOOLEAN ProcessRawFrameInto(ImagePipeline* p, const UCHAR* rawFrame, ULONG offset, ULONG rowStep,
                            PUCHAR firstRow, LONG_PTR outputStep) {
    WideVectorState state;
    const BayerRoutines* wide = PlatformBeginWideVectors(&state);
    BOOLEAN converted = ProcessRawFrameIntoWith(p, wide ? wide : &kBayerRoutinesSse2, rawFrame,
                                                offset, rowStep, firstRow, outputStep);
    if (wide)
        PlatformEndWideVectors(&state);
    return converted;
}

void ProcessRawFrame(ImagePipeline* p, const UCHAR* rawFrame, ULONG offset, ULONG rowStep) {
    ProcessRawFrameInto(p, rawFrame, offset, rowStep, p->outputBuffer, LONG_PTR(p->frameWidth) * 4);
}

void PrepareFrameCoefficients(const ImagePipeline* p, FrameCoefficients* c) {
    const ULONG gains[3] = {p->frameRedGain, p->frameGreenGain, p->frameBlueGain};
    for (int k = 0; k < 3; ++k) {
        ULONG g = gains[k] & 0xFFFF;
        c->doubledGain[k] = USHORT(2 * (g > 32767 ? 32767 : g));
    }
    c->wideSums = FALSE;
    for (int j = 0; j < 3; ++j) {
        ULONG maxPositive = 0, maxNegative = 0;
        for (int i = 0; i < 4; ++i) {
            LONG m = p->frameMatrix[i * 4 + j];
            USHORT magnitude = USHORT((m < 0 ? 0u - ULONG(m) : ULONG(m)) & 0xFFFF);
            bool positive = p->positiveFlags[i * 4 + j] != 0;
            USHORT pos = positive ? magnitude : 0, neg = positive ? 0 : magnitude;
            // Inputs are at most 255; the constant term is added once.
            ULONG scale = i < 3 ? 255 : 1;
            maxPositive += scale * pos;
            maxNegative += scale * neg;
            if (i < 3) {
                c->positive[j][i] = pos;
                c->negative[j][i] = neg;
            } else {
                c->positiveConstant[j] = pos;
                c->negativeConstant[j] = neg;
            }
        }
        if (maxPositive > 0xFFFF || maxNegative > 0xFFFF)
            c->wideSums = TRUE;
    }
}

void WhiteBalanceGainsFromSums(ULONGLONG sumRed, ULONGLONG sumGreen, ULONGLONG sumBlue, ULONG* red,
                               ULONG* green, ULONG* blue) {
    if (sumRed == 0 || sumGreen == 0 || sumBlue == 0)
        return;
    double d = (double(sumGreen) + double(sumRed)) + double(sumBlue);
    double e = (d / double(sumGreen)) / 3.0;
    double r = ((d / double(sumRed)) / 3.0 * 128.0) / e;
    double b = ((d / double(sumBlue)) / 3.0 * 128.0) / e;
    *red = r >= 65535.0 ? 65535 : ULONG(LONG(r));
    *green = 128;
    *blue = b >= 65535.0 ? 65535 : ULONG(LONG(b));
}
