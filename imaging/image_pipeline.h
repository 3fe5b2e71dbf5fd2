// The image pipeline: everything the conversion of one raw Bayer frame into a 32-bit image
// needs, the setters through which settings reach it, and the one entry that converts.
//
// Life of a pipeline, as the stream start drives it:
//   ImagePipeline* p = CreateImagePipeline();   // pool tag "IsyR", creation values, initialised
//   SetWhiteBalanceAuto(p, ..); SetBayerPhase(p, ..); SetColorEnable(p, ..);
//   SetRedGain(p, ..); SetGreenGain(p, ..); SetBlueGain(p, ..);
//   SetColorCorrection(p, ..); SetBrightness(p, ..); SetContrast(p, ..);
//   SetSaturation(p, ..); SetHue(p, ..);
//   SetBayerPhase(p, ..); SetFrameSize(p, w, h); AllocateRawBuffer(p);
//   p->outputBuffer = image;                      // w * h * 4 bytes, owned by the caller
//   ProcessRawFrame(p, raw, offset, rowStep);     // once per frame
//   ReleaseRawBuffer(p);                          // capture stop
//   DestroyImagePipeline(p);                      // stream stop
//
// Fixed-point scales: gains 128 = 1.0, colour-matrix coefficients 64 = 1.0. Colour matrices
// act on the row vector (R, G, B, 1): row 3 holds the constant terms.
#pragma once

#include "platform/platform.h"

typedef double ColorMatrix[4][4];

// Bytes of working memory the pixel routines use per frame (imaging/bayer_frame_vectors.h).
constexpr ULONG kVectorScratchBytes = 20480;

struct ImagePipeline {
    // Per-frame working set, filled at the start of every frame.
    PUCHAR imageOrigin;   // row 0, column 0 of the image in the padded raw buffer
    PUCHAR outputCursor;  // where the next output pixel goes
    LONG_PTR outputStep;  // bytes from one output row to the next (negative: bottom-up)
    // Where the blocks whose reads stay inside the image read it: the raw frame itself, rows
    // `sourceStep` apart, with the margin rows taken from the rows they repeat
    // (sourceRowsMapped); or the padded buffer, when the whole frame was copied there.
    const UCHAR* sourceOrigin;
    LONG_PTR sourceStep;
    BOOLEAN sourceRowsMapped;
    LONG framePitch;
    ULONG frameRedGain;
    ULONG frameGreenGain;
    ULONG frameBlueGain;
    ULONG frameWidth;
    ULONG frameHeight;
    LONG frameMatrix[16];

    // Geometry and buffers.
    ULONG width;
    ULONG height;
    ULONG rawPitch;
    ULONG rawBufferSize;
    PUCHAR outputBuffer;  // width * height * 4 bytes, not owned
    PUCHAR rawBuffer;     // owned, pool tag "CPBF"

    // Settings slots: read and written only with interlocked operations.
    volatile LONG bayerPhase;
    volatile LONG colorEnable;
    volatile LONG whiteBalanceAuto;
    volatile LONG redGain;
    volatile LONG greenGain;
    volatile LONG blueGain;
    volatile LONG colorCorrection;
    volatile LONG brightness;
    volatile LONG contrast;
    volatile LONG saturation;
    volatile LONG hue;

    ColorMatrix identityMatrix;
    ColorMatrix colorCorrectionMatrix;
    ColorMatrix brightnessMatrix;
    ColorMatrix contrastMatrix;
    ColorMatrix saturationMatrix;
    ColorMatrix hueMatrix;
    ColorMatrix combinedMatrix;
    LONG fixedMatrix[16];
    UCHAR positiveFlags[16];

    // Serialises matrix rebuilds against each other and against the per-frame copy of
    // fixedMatrix, so a frame never sees half of a rebuild.
    KSPIN_LOCK matrixLock;
    // The pixel routines' working memory: the frame's constants filled into vectors and a
    // strip's row sums. At the widest vectors they are far beyond the 2 KiB a kernel stack
    // frame may take. Used from its first 64-byte boundary.
    UCHAR vectorScratch[kVectorScratchBytes + 63];
};

// Allocates the record (non-paged, "IsyR"), zero-fills it, writes the creation values of the
// settings slots and calls PipelineInitialize. Null when the pool refuses.
ImagePipeline* CreateImagePipeline();
// Frees the padded raw buffer if present, then the record. Null is ignored.
void DestroyImagePipeline(ImagePipeline* pipeline);

// Matrices to their defaults (colour correction on, everything else neutral) and the
// combined and fixed matrices computed from them.
void PipelineInitialize(ImagePipeline* pipeline);

// Change-detecting setters: store and rebuild only when the value differs from the slot.
void SetColorCorrection(ImagePipeline* pipeline, LONG value);
void SetBrightness(ImagePipeline* pipeline, LONG value);
void SetContrast(ImagePipeline* pipeline, LONG value);
void SetSaturation(ImagePipeline* pipeline, LONG value);
void SetHue(ImagePipeline* pipeline, LONG value);

// Builders: rebuild one matrix from a value and recompute the product; the slot is untouched.
void BuildColorCorrectionMatrix(ImagePipeline* pipeline, LONG value);
void BuildBrightnessMatrix(ImagePipeline* pipeline, LONG value);
void BuildContrastMatrix(ImagePipeline* pipeline, LONG value);
void BuildSaturationMatrix(ImagePipeline* pipeline, LONG value);
void BuildHueMatrix(ImagePipeline* pipeline, LONG value);

// Plain setters and getters: one interlocked operation on one slot.
void SetBayerPhase(ImagePipeline* pipeline, LONG value);
void SetColorEnable(ImagePipeline* pipeline, LONG value);
void SetWhiteBalanceAuto(ImagePipeline* pipeline, LONG value);
void SetRedGain(ImagePipeline* pipeline, LONG value);
void SetGreenGain(ImagePipeline* pipeline, LONG value);
void SetBlueGain(ImagePipeline* pipeline, LONG value);
LONG GetBayerPhase(ImagePipeline* pipeline);
LONG GetColorEnable(ImagePipeline* pipeline);
LONG GetWhiteBalanceAuto(ImagePipeline* pipeline);
LONG GetRedGain(ImagePipeline* pipeline);
LONG GetGreenGain(ImagePipeline* pipeline);
LONG GetBlueGain(ImagePipeline* pipeline);
LONG GetColorCorrection(ImagePipeline* pipeline);
LONG GetBrightness(ImagePipeline* pipeline);
LONG GetContrast(ImagePipeline* pipeline);
LONG GetSaturation(ImagePipeline* pipeline);
LONG GetHue(ImagePipeline* pipeline);

// Image size; derives the padded pitch and buffer size. A size whose buffer would not fit
// in 32 bits leaves rawBufferSize 0, which AllocateRawBuffer refuses.
void SetFrameSize(ImagePipeline* pipeline, ULONG width, ULONG height);
// Replaces the padded raw buffer with a zero-filled one of rawBufferSize bytes ("CPBF") and
// records the frame geometry. On failure rawBuffer stays null and frames are not converted.
NTSTATUS AllocateRawBuffer(ImagePipeline* pipeline);
// Frees the padded raw buffer, if any, and clears the pointer.
void ReleaseRawBuffer(ImagePipeline* pipeline);

// Converts one raw frame into outputBuffer. The image's first sample lies `offset` bytes
// into rawFrame; its rows lie `rowStep` bytes apart. Does nothing without an output buffer,
// a raw frame or a padded raw buffer.
void ProcessRawFrame(ImagePipeline* pipeline, const UCHAR* rawFrame, ULONG offset, ULONG rowStep);
// The same conversion into an image of the caller's whose row 0 starts at `firstRow` and
// whose rows lie `outputStep` bytes apart (negative for a bottom-up image), so a delivered
// frame needs no copy. Returns whether the frame was converted; outputBuffer is not used.
BOOLEAN ProcessRawFrameInto(ImagePipeline* pipeline, const UCHAR* rawFrame, ULONG offset,
                            ULONG rowStep, PUCHAR firstRow, LONG_PTR outputStep);
