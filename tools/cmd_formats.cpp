// bayercam formats: the capture pin's formats as an application finds them. The filter of a
// started camera is opened, the pin's data ranges are read, and an intersection is made with
// a copy of the first range, as an application does before it creates the pin.
#include <cstdio>
#include <memory>
#include <vector>

#include "control/property_set.h"
#include "tools/camera_session.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/json_lines.h"
#include "tools/pin_formats.h"
#include "tools/status_text.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

struct Options {
    std::vector<int> roi;
    std::string registry;
    bool json = false;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

void ShowRange(const KS_DATARANGE_VIDEO& r, ULONG index, bool json) {
    const KS_BITMAPINFOHEADER& bmi = r.VideoInfoHeader.bmiHeader;
    if (json) {
        PrintJsonLine({{"event", "range"},
                       {"index", index},
                       {"width", bmi.biWidth},
                       {"height", bmi.biHeight},
                       {"bitCount", bmi.biBitCount},
                       {"sampleSize", r.DataRange.SampleSize},
                       {"minFrameInterval", r.ConfigCaps.MinFrameInterval},
                       {"maxFrameInterval", r.ConfigCaps.MaxFrameInterval},
                       {"frameInterval", r.VideoInfoHeader.AvgTimePerFrame}});
        return;
    }
    std::printf("Data range %u: RGB32, video info header\n", unsigned(index));
    std::printf("  Image            %d x %d, %u bits, %s\n", bmi.biWidth, bmi.biHeight,
                unsigned(bmi.biBitCount), bmi.biHeight > 0 ? "bottom-up" : "top-down");
    std::printf("  Sample size      %u bytes\n", r.DataRange.SampleSize);
    std::printf("  Frame interval   %lld .. %lld x 100 ns (average %lld)\n",
                (long long)r.ConfigCaps.MinFrameInterval, (long long)r.ConfigCaps.MaxFrameInterval,
                (long long)r.VideoInfoHeader.AvgTimePerFrame);
    std::printf("  Output size      %d x %d .. %d x %d\n", r.ConfigCaps.MinOutputSize.cx,
                r.ConfigCaps.MinOutputSize.cy, r.ConfigCaps.MaxOutputSize.cx,
                r.ConfigCaps.MaxOutputSize.cy);
}

void ShowFormat(NTSTATUS status, const std::vector<uint64_t>& storage, ULONG size, bool json) {
    bool whole = NT_SUCCESS(status) && size >= sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);
    const auto* format = reinterpret_cast<const KSDATAFORMAT*>(storage.data());
    const auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format + 1);
    if (json) {
        ordered_json e = {{"event", "format"}};
        SetStatus(e, "status", status);
        if (whole) {
            e["size"] = size;
            e["width"] = info->bmiHeader.biWidth;
            e["height"] = info->bmiHeader.biHeight;
            e["bitCount"] = info->bmiHeader.biBitCount;
            e["imageSize"] = info->bmiHeader.biSizeImage;
            e["sampleSize"] = format->SampleSize;
            e["frameInterval"] = info->AvgTimePerFrame;
        }
        PrintJsonLine(e);
        return;
    }
    if (!whole) {
        std::printf("Intersection: %s\n", StatusText(status).c_str());
        return;
    }
    std::printf("Intersection with that range: a %u-byte format\n", unsigned(size));
    std::printf("  Image            %d x %d, %u bits, %u bytes\n", info->bmiHeader.biWidth,
                info->bmiHeader.biHeight, unsigned(info->bmiHeader.biBitCount),
                info->bmiHeader.biSizeImage);
    std::printf("  Frame interval   %lld x 100 ns: %.3f frames/s\n",
                (long long)info->AvgTimePerFrame, 1e7 / double(info->AvgTimePerFrame));
}

int Run(const Options& o) {
    if (!ChooseDriver("formats", o.driver))
        return kExitFailure;
    SessionOptions options;
    options.registry = o.registry;
    std::string error;
    std::unique_ptr<CameraSession> session = CameraSession::Open(options, &error);
    if (!session) {
        std::fprintf(stderr, "bayercam formats: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!session->FilterOpen()) {
        std::fprintf(stderr, "bayercam formats: the camera did not start: %s\n",
                     StatusText(session->StartStatus()).c_str());
        return kExitFailure;
    }
    if (o.roi.size() == 4) {
        CameraRoiValue roi{};
        roi.X = o.roi[0];
        roi.Y = o.roi[1];
        roi.Width = o.roi[2];
        roi.Height = o.roi[3];
        ULONG returned = 0;
        session->CameraProperty(PropRoi, KSPROPERTY_TYPE_SET, &roi, sizeof(roi), &returned);
    }

    std::vector<uint64_t> ranges;
    NTSTATUS status = ReadPinRanges(session.get(), &ranges);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam formats: the pin's data ranges: %s\n",
                     StatusText(status).c_str());
        return kExitFailure;
    }
    const KS_DATARANGE_VIDEO* first = nullptr;
    for (const auto& [index, range] : VideoRanges(ranges)) {
        ShowRange(*range, index, o.json);
        if (!first)
            first = range;
    }
    if (!first) {
        std::fprintf(stderr, "bayercam formats: the pin offers no video range\n");
        return kExitFailure;
    }

    std::vector<uint64_t> format;
    ULONG size = 0;
    KS_DATARANGE_VIDEO caller = *first;  // the application's own copy
    status = IntersectRange(session.get(), caller, &format, &size);
    ShowFormat(status, format, size, o.json);
    if (!session->Close(&error)) {
        std::fprintf(stderr, "bayercam formats: %s\n", error.c_str());
        return kExitFailure;
    }
    return NT_SUCCESS(status) ? kExitSuccess : kExitFailure;
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    AddRoiOption(command, &o->roi,
                 "set the region of interest X,Y,W,H through the property set first (saved like "
                 "any setting)");
    command.add_option(
        "--registry", o->registry,
        "the registry hive that keeps the settings (default " + DefaultRegistryPath() + ")");
    command.add_flag("--json", o->json, "print JSON lines, one per range and one for the format");
    AddDriverOption(command, &o->driver);
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "formats",
    "show the capture pin's data range and the format an intersection with it gives",
    Setup,
});

}  // namespace
}  // namespace tool
