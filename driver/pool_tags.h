// Pool tags, one per kind of memory, so a leak or a corruption points at its owner.
#pragma once

#include "platform/platform.h"

constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

// Device, filter, pin and capture worker records.
constexpr ULONG kTagRecord = MakePoolTag('K', 'C', 'N', 'w');
// The image pipeline.
constexpr ULONG kTagPipeline = MakePoolTag('I', 's', 'y', 'R');
// Frame buffers: raw frames, the output image, the padded raw copy, pin descriptor copies.
constexpr ULONG kTagFrameBuffer = MakePoolTag('C', 'P', 'B', 'F');
// USB request blocks, descriptors, the interface copy, pipe flags and transfer records.
constexpr ULONG kTagUsb = MakePoolTag('V', 'D', 'B', 'F');
