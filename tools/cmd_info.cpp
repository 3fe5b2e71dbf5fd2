// bayercam info: a camera arrives, and the driver's record and the format it advertises for it
// are shown as an application would enumerate them.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "control/region_of_interest.h"
#include "platform/host/host_control.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/status_text.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  unsigned(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

ordered_json Settings(const DeviceContext& c) {
    return {
        {"ExTrigger", c.ExTrigger},
        {"Timeout", c.Timeout},
        {"Exposure", c.Exposure},
        {"GlobalGain", c.GlobalGain},
        {"FlipH", c.FlipH},
        {"FlipV", c.FlipV},
        {"ColorEnable", c.ColorEnable},
        {"WhiteBalance", c.WhiteBalance},
        {"RedGain", c.RedGain},
        {"GreenGain", c.GreenGain},
        {"BlueGain", c.BlueGain},
        {"ColorCorrection", c.ColorCorrection},
        {"Brightness", c.Brightness},
        {"Contrast", c.Contrast},
        {"Saturation", c.Saturation},
        {"Hue", c.Hue},
        {"SubSample", c.SubSample},
        {"WindowX", c.WindowX},
        {"WindowY", c.WindowY},
        {"WindowWidth", c.WindowWidth},
        {"WindowHeight", c.WindowHeight},
        {"BayerPhase", c.BayerPhase},
        {"Clock", c.Clock},
        {"AGC", c.AGC},
        {"AEC", c.AEC},
    };
}

ordered_json Format(const KS_DATARANGE_VIDEO& r) {
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
    const KS_VIDEOINFOHEADER& info = r.VideoInfoHeader;
    const KS_BITMAPINFOHEADER& bmi = info.bmiHeader;
    auto size = [](const SIZE& s) { return ordered_json::array({s.cx, s.cy}); };
    auto rect = [](const RECT& q) {
        return ordered_json::array({q.left, q.top, q.right, q.bottom});
    };
    return {
        {"FormatSize", r.DataRange.FormatSize},
        {"SampleSize", r.DataRange.SampleSize},
        {"MajorFormat", GuidText(r.DataRange.MajorFormat)},
        {"SubFormat", GuidText(r.DataRange.SubFormat)},
        {"Specifier", GuidText(r.DataRange.Specifier)},
        {"bFixedSizeSamples", r.bFixedSizeSamples},
        {"bTemporalCompression", r.bTemporalCompression},
        {"ConfigCaps",
         {{"InputSize", size(caps.InputSize)},
          {"MinCroppingSize", size(caps.MinCroppingSize)},
          {"MaxCroppingSize", size(caps.MaxCroppingSize)},
          {"CropGranularity", {caps.CropGranularityX, caps.CropGranularityY}},
          {"CropAlign", {caps.CropAlignX, caps.CropAlignY}},
          {"MinOutputSize", size(caps.MinOutputSize)},
          {"MaxOutputSize", size(caps.MaxOutputSize)},
          {"OutputGranularity", {caps.OutputGranularityX, caps.OutputGranularityY}},
          {"MinFrameInterval", caps.MinFrameInterval},
          {"MaxFrameInterval", caps.MaxFrameInterval},
          {"MinBitsPerSecond", caps.MinBitsPerSecond},
          {"MaxBitsPerSecond", caps.MaxBitsPerSecond}}},
        {"VideoInfoHeader",
         {{"rcSource", rect(info.rcSource)},
          {"rcTarget", rect(info.rcTarget)},
          {"dwBitRate", info.dwBitRate},
          {"AvgTimePerFrame", info.AvgTimePerFrame},
          {"biWidth", bmi.biWidth},
          {"biHeight", bmi.biHeight},
          {"biPlanes", bmi.biPlanes},
          {"biBitCount", bmi.biBitCount},
          {"biCompression", bmi.biCompression},
          {"biSizeImage", bmi.biSizeImage}}},
    };
}

void PrintText(const DeviceContext& c, const KS_DATARANGE_VIDEO& r) {
    std::printf("bayercam: camera %dx%d, Bayer phase %d (RGGB)\n\n", kSensorWidth, kSensorHeight,
                c.SensorBayerPhase);
    std::printf("Settings after arrival:\n");
    int column = 0;
    const ordered_json settings = Settings(c);
    for (auto& [name, value] : settings.items()) {
        std::printf("  %-16s %6d%s", name.c_str(), value.get<int>(), ++column % 3 ? "" : "\n");
    }
    if (column % 3)
        std::printf("\n");
    std::printf("\nRegion of interest: x %d, y %d, %d x %d\n", c.RoiX, c.RoiY, c.RoiW, c.RoiH);
    std::printf("Output image:       %d x %d, RGB32, %d bytes per frame\n\n", c.OutputWidth,
                c.OutputHeight, c.OutputWidth * c.OutputHeight * 4);

    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
    const KS_VIDEOINFOHEADER& info = r.VideoInfoHeader;
    const KS_BITMAPINFOHEADER& bmi = info.bmiHeader;
    std::printf("Advertised video format (one data range, %u bytes):\n", r.DataRange.FormatSize);
    std::printf("  MajorFormat       {%s} video\n", GuidText(r.DataRange.MajorFormat).c_str());
    std::printf("  SubFormat         {%s} RGB32\n", GuidText(r.DataRange.SubFormat).c_str());
    std::printf("  Specifier         {%s} video info header\n",
                GuidText(r.DataRange.Specifier).c_str());
    std::printf("  SampleSize        %u\n", r.DataRange.SampleSize);
    std::printf("  Image             %d x %d, %u bits, %s rows, %u bytes\n", bmi.biWidth,
                bmi.biHeight, unsigned(bmi.biBitCount), bmi.biHeight > 0 ? "bottom-up" : "top-down",
                bmi.biSizeImage);
    std::printf("  rcSource          (%d, %d, %d, %d)\n", info.rcSource.left, info.rcSource.top,
                info.rcSource.right, info.rcSource.bottom);
    std::printf("  Frame interval    %lld .. %lld (average %lld) x 100 ns: %.3f frames/s\n",
                (long long)caps.MinFrameInterval, (long long)caps.MaxFrameInterval,
                (long long)info.AvgTimePerFrame, 1e7 / double(info.AvgTimePerFrame));
    std::printf("  Bits per second   %d .. %d; dwBitRate %u\n", caps.MinBitsPerSecond,
                caps.MaxBitsPerSecond, info.dwBitRate);
    std::printf("  Output size       %d x %d .. %d x %d, granularity %d x %d\n",
                caps.MinOutputSize.cx, caps.MinOutputSize.cy, caps.MaxOutputSize.cx,
                caps.MaxOutputSize.cy, caps.OutputGranularityX, caps.OutputGranularityY);
}

struct Options {
    std::vector<int32_t> roi;  // empty: the region the device arrives with
    bool json = false;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

int Run(const Options& o) {
    DriverInternals driver;
    if (!ChooseDriver("info", o.driver, &driver))
        return kExitFailure;
    NTSTATUS status = host::LoadDriver(DriverEntry);
    PKSDEVICE device = nullptr;
    if (NT_SUCCESS(status))
        status = host::AddDevice(nullptr, &device);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam info: the device did not arrive: status %s\n",
                     StatusHex(status).c_str());
        return kExitFailure;
    }
    auto* context = static_cast<DeviceContext*>(device->Context);
    if (!o.roi.empty()) {
        driver.setRegionOfInterest(context, LONG(o.roi[0]), LONG(o.roi[1]), LONG(o.roi[2]),
                                   LONG(o.roi[3]));
    }

    if (o.json) {
        ordered_json out = {
            {"sensor",
             {{"width", kSensorWidth},
              {"height", kSensorHeight},
              {"bayerPhase", context->SensorBayerPhase}}},
            {"settings", Settings(*context)},
            {"regionOfInterest",
             {{"RoiX", context->RoiX},
              {"RoiY", context->RoiY},
              {"RoiW", context->RoiW},
              {"RoiH", context->RoiH}}},
            {"output", {{"width", context->OutputWidth}, {"height", context->OutputHeight}}},
            {"dataRange", Format(*driver.videoDataRange)},
        };
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        PrintText(*context, *driver.videoDataRange);
    }
    host::RemoveDevice(device);
    return kExitSuccess;
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    // Any 32-bit values: the driver fits the region to the sensor itself, and showing how it
    // does is the point. One argument only, so a stray word after it is reported as such.
    AddRoiOption(command, &o->roi,
                 "region of interest X,Y,W,H, set before showing; the driver fits it to the "
                 "sensor");
    command.add_flag("--json", o->json, "print one JSON object instead of the tables");
    AddDriverOption(command, &o->driver);
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "info",
    "show the device record after arrival and the video format the driver advertises",
    Setup,
});

}  // namespace
}  // namespace tool
