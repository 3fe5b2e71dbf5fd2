#include "tools/pin_formats.h"

#include <algorithm>

namespace tool {
namespace {

KSP_PIN PinRequest(ULONG id) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = 0;
    return request;
}

bool IsVideoRange(const KSDATARANGE* range) {
    const GUID videoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
    return range->FormatSize >= sizeof(KS_DATARANGE_VIDEO) &&
           IsEqualGUIDAligned(range->Specifier, videoInfo);
}

}  // namespace

NTSTATUS ReadPinRanges(CameraSession* session, std::vector<uint64_t>* storage) {
    KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES);
    ULONG size = 0;
    NTSTATUS status = session->Request(&request, sizeof(request), nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    storage->assign((size + 7) / 8, 0);
    ULONG returned = 0;
    return session->Request(&request, sizeof(request), storage->data(), size, &returned);
}

std::vector<std::pair<ULONG, const KS_DATARANGE_VIDEO*>> VideoRanges(
    const std::vector<uint64_t>& storage) {
    std::vector<std::pair<ULONG, const KS_DATARANGE_VIDEO*>> found;
    if (storage.size() * 8 < sizeof(KSMULTIPLE_ITEM))
        return found;
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(storage.data());
    // Ranges follow the header, each padded to 8 bytes; the list's own size bounds them, and
    // so does the storage, should the size claim more than was returned.
    const UCHAR* at = reinterpret_cast<const UCHAR*>(list + 1);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(storage.data()) +
                       std::min<size_t>(list->Size, storage.size() * 8);
    for (ULONG i = 0; i < list->Count && at + sizeof(KSDATARANGE) <= end; ++i) {
        const auto* range = reinterpret_cast<const KSDATARANGE*>(at);
        if (IsVideoRange(range) && at + sizeof(KS_DATARANGE_VIDEO) <= end)
            found.emplace_back(i, reinterpret_cast<const KS_DATARANGE_VIDEO*>(range));
        if (range->FormatSize == 0)
            break;  // a range of no size would be found again and again
        at += (range->FormatSize + 7) & ~7u;
    }
    return found;
}

NTSTATUS IntersectRange(CameraSession* session, const KS_DATARANGE_VIDEO& caller,
                        std::vector<uint64_t>* format, ULONG* size) {
    struct {
        KSP_PIN pin;
        KSMULTIPLE_ITEM list;
        KS_DATARANGE_VIDEO range;
    } request{};
    request.pin = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION);
    request.list.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(caller);
    request.list.Count = 1;
    request.range = caller;
    NTSTATUS status = session->Request(&request, sizeof(request), nullptr, 0, size);
    if (status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    format->assign((*size + 7) / 8, 0);
    return session->Request(&request, sizeof(request), format->data(), *size, size);
}

NTSTATUS NegotiateFormat(CameraSession* session, std::vector<uint64_t>* format, ULONG* size,
                         std::string* step) {
    std::vector<uint64_t> ranges;
    *step = "the pin's data ranges";
    NTSTATUS status = ReadPinRanges(session, &ranges);
    if (!NT_SUCCESS(status))
        return status;
    auto video = VideoRanges(ranges);
    if (video.empty())
        return STATUS_NO_MATCH;
    // A copy: the range the application sends must be its own memory, not the list's.
    KS_DATARANGE_VIDEO caller = *video.front().second;
    *step = "the intersection";
    status = IntersectRange(session, caller, format, size);
    if (NT_SUCCESS(status) && !VideoInfo(*format, *size))
        status = STATUS_BUFFER_TOO_SMALL;
    return status;
}

const KS_VIDEOINFOHEADER* VideoInfo(const std::vector<uint64_t>& format, ULONG size) {
    if (size < sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER) || format.size() * 8 < size)
        return nullptr;
    return reinterpret_cast<const KS_VIDEOINFOHEADER*>(
        reinterpret_cast<const KSDATAFORMAT*>(format.data()) + 1);
}

}  // namespace tool
