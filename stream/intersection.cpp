// Format intersection for the capture pin. A caller must present exactly the capabilities the
// pin advertises at that moment; the result takes the pin's format header and the caller's
// video info header, with the image size computed from the caller's bitmap.
#include "control/region_of_interest.h"
#include "stream/filter.h"

namespace {

// Where the video info header begins in a video data range, and its size without the bitmap.
constexpr ULONG kVideoInfoOffset = FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader);
constexpr ULONG kVideoInfoFixed = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(kVideoInfoOffset == 208 && kVideoInfoFixed == 48, "video range layout");

BOOLEAN SameBytes(const void* a, const void* b, SIZE_T length) {
    return RtlCompareMemory(a, b, length) == length;
}

BOOLEAN IsVideoInfo(const GUID& specifier) {
    const GUID videoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
    return SameBytes(&specifier, &videoInfo, sizeof(GUID));
}

// Row bytes rounded up to 32 bits, times the absolute height; all in 32-bit arithmetic.
ULONG ImageSize(const KS_BITMAPINFOHEADER& bitmap) {
    ULONG row = ((ULONG(bitmap.biWidth) * bitmap.biBitCount + 31) >> 3) & ~ULONG(3);
    ULONG size = row * ULONG(bitmap.biHeight);
    return bitmap.biHeight < 0 ? 0u - size : size;
}

}  // namespace

NTSTATUS NTAPI IntersectVideoFormat(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                                    PKSDATARANGE pinRange, ULONG bufferSize, PVOID data,
                                    PULONG dataSize) {
    if (!callerRange || !pinRange || !dataSize)
        return STATUS_INVALID_PARAMETER;
    if (!IsVideoInfo(callerRange->Specifier))
        return STATUS_NO_MATCH;
    if (callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO))
        return STATUS_NO_MATCH;
    auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    auto* pin = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pinRange);
    if (caller->bFixedSizeSamples != pin->bFixedSizeSamples ||
        caller->bTemporalCompression != pin->bTemporalCompression ||
        caller->StreamDescriptionFlags != pin->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != pin->MemoryAllocationFlags ||
        !SameBytes(&caller->ConfigCaps, &pin->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))) {
        return STATUS_NO_MATCH;
    }

    // The caller's bitmap header decides how much of its range is copied: it must lie inside
    // the range, and be at least a whole bitmap header, or the image size written below would
    // land past the end of a result buffer of the computed size.
    ULONG bitmapSize = caller->VideoInfoHeader.bmiHeader.biSize;
    ULONG videoInfoSize = kVideoInfoFixed + bitmapSize;
    if (videoInfoSize < bitmapSize || kVideoInfoOffset + videoInfoSize < videoInfoSize ||
        kVideoInfoOffset + videoInfoSize > callerRange->FormatSize ||
        bitmapSize < sizeof(KS_BITMAPINFOHEADER)) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG resultSize = sizeof(KSDATAFORMAT) + videoInfoSize;
    if (bufferSize == 0) {
        *dataSize = resultSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < resultSize || !data)
        return STATUS_BUFFER_TOO_SMALL;

    *dataSize = resultSize;
    auto* result = static_cast<UCHAR*>(data);
    memcpy(result, pinRange, sizeof(KSDATAFORMAT));
    auto* format = reinterpret_cast<KSDATAFORMAT*>(result);
    format->FormatSize = resultSize;
    memcpy(result + sizeof(KSDATAFORMAT), &caller->VideoInfoHeader, videoInfoSize);

    auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(result + sizeof(KSDATAFORMAT));
    ULONG imageSize = ImageSize(info->bmiHeader);
    format->SampleSize = imageSize;
    info->bmiHeader.biSizeImage = imageSize;
    return STATUS_SUCCESS;
}
