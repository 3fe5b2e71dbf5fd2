// Region of interest and the advertised video data range.
#include "control/region_of_interest.h"

// The values before any device arrives; every Add rewrites the size-dependent fields, so no
// application ever sees these.
KS_DATARANGE_VIDEO VideoDataRange = {
    // DataRange
    {{
        sizeof(KS_DATARANGE_VIDEO),  // FormatSize
        0,                           // Flags
        1296256,                     // SampleSize
        0,                           // Reserved
        {STATIC_KSDATAFORMAT_TYPE_VIDEO},
        {STATIC_MEDIASUBTYPE_RGB32},
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},
    }},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    // ConfigCaps
    {
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},
        0,                              // VideoStandard: no analogue standard
        {kSensorWidth, kSensorHeight},  // InputSize
        {kSensorWidth, kSensorHeight},  // MinCroppingSize
        {kSensorWidth, kSensorHeight},  // MaxCroppingSize
        8,
        1,  // CropGranularityX, Y
        8,
        1,                              // CropAlignX, Y
        {kSensorWidth, kSensorHeight},  // MinOutputSize
        {kSensorWidth, kSensorHeight},  // MaxOutputSize
        8,
        1,  // OutputGranularityX, Y
        0,
        0,  // StretchTapsX, Y
        0,
        0,          // ShrinkTapsX, Y
        333667,     // MinFrameInterval
        640000000,  // MaxFrameInterval
        311101440,  // MinBitsPerSecond
        311101440,  // MaxBitsPerSecond
    },
    // VideoInfoHeader
    {
        {0, 0, kSensorWidth, kSensorHeight},  // rcSource
        {0, 0, 0, 0},                         // rcTarget
        38887680,                             // dwBitRate
        0,                                    // dwBitErrorRate
        333667,                               // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER),  // biSize
            kSensorWidth,                 // biWidth
            kSensorHeight,                // biHeight: positive, rows bottom-up
            1,                            // biPlanes
            32,                           // biBitCount
            KS_BI_RGB,                    // biCompression
            1296256,                      // biSizeImage
            0,
            0,
            0,
            0,
        },
    },
};

namespace {

// Even, then within [0, limit]. Computed wide so that no 32-bit input can overflow.
LONG AlignEdge(LONG value, LONG limit) {
    LONGLONG v = value;
    if (v & 1)
        v += 1;
    if (v < 0)
        v = 0;
    if (v > limit)
        v = limit;
    return LONG(v);
}

// A length of 0 or less means the whole sensor; it never reaches past the sensor's far edge.
LONG ClampLength(LONG length, LONG edge, LONG sensor) {
    if (length <= 0 || length > sensor)
        length = sensor;
    if (length > sensor - edge)
        length = sensor - edge;
    return length;
}

void AdvertiseSize(LONG w, LONG h) {
    // At most 656 x 494 x 960, well inside 32 bits.
    ULONG pixels = ULONG(w) * ULONG(h);
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = VideoDataRange.ConfigCaps;
    KS_VIDEOINFOHEADER& info = VideoDataRange.VideoInfoHeader;

    VideoDataRange.DataRange.SampleSize = pixels * 4;
    caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = {w, h};
    caps.MinOutputSize = caps.MaxOutputSize = {w, h};
    caps.MinFrameInterval = caps.MaxFrameInterval = kFrameInterval;
    caps.MinBitsPerSecond = caps.MaxBitsPerSecond = LONG(pixels * 960);
    info.rcSource.right = w;
    info.rcSource.bottom = h;
    info.dwBitRate = pixels * 120;
    info.AvgTimePerFrame = kFrameInterval;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biSizeImage = pixels * 4;
}

}  // namespace

void SetRegionOfInterest(DeviceContext* context, LONG x, LONG y, LONG width, LONG height) {
    if (InterlockedCompareExchange(&context->PinOpen, 0, 0) != 0)
        return;

    x = AlignEdge(x, kSensorWidth - 8);
    y = AlignEdge(y, kSensorHeight - 8);
    width = ClampLength(width, x, kSensorWidth);
    height = ClampLength(height, y, kSensorHeight);

    context->SubSample = 0;
    context->WindowX = 0;
    context->WindowY = 0;
    context->WindowWidth = kSensorWidth;
    context->WindowHeight = kSensorHeight;

    context->RoiX = x;
    context->RoiY = y;
    context->RoiW = width;
    context->RoiH = height;
    context->OutputHeight = height;
    context->OutputWidth = width - width % 8;

    AdvertiseSize(context->OutputWidth, context->OutputHeight);
}
