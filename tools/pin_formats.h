// The capture pin's formats as an application finds them through the filter: the pin's data
// ranges, then an intersection with a copy of one of them, which gives the format to create
// the pin with. Shared by `bayercam formats`, which shows them, and `bayercam stream`, which
// creates the pin with the format.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/camera_session.h"

namespace tool {

// KSPROPERTY_PIN_DATARANGES of pin 0, read as applications read a sized list: the size
// first, then all of it, into 8-byte aligned storage.
NTSTATUS ReadPinRanges(CameraSession* session, std::vector<uint64_t>* storage);

// The video ranges (video info header specifier) of a list ReadPinRanges read, each with its
// index in the list; ranges that run past the list's size are left out.
std::vector<std::pair<ULONG, const KS_DATARANGE_VIDEO*>> VideoRanges(
    const std::vector<uint64_t>& storage);

// KSPROPERTY_PIN_DATAINTERSECTION of pin 0 with `caller` alone: the size first, then the
// format into `format` (8-byte aligned), its size in *size.
NTSTATUS IntersectRange(CameraSession* session, const KS_DATARANGE_VIDEO& caller,
                        std::vector<uint64_t>* format, ULONG* size);

// The format an application creates the pin with: the intersection with a copy of the pin's
// first video range. On failure, *step says which request failed ("the pin's data ranges",
// "the intersection").
NTSTATUS NegotiateFormat(CameraSession* session, std::vector<uint64_t>* format, ULONG* size,
                         std::string* step);

// The video info header after a format's KSDATAFORMAT, or null when the format is too short.
const KS_VIDEOINFOHEADER* VideoInfo(const std::vector<uint64_t>& format, ULONG size);

}  // namespace tool
