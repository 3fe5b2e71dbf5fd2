#include "tools/property_names.h"

#include <cstdlib>
#include <strings.h>

namespace tool {
namespace {

const char* const kNames[kCameraPropertyCount] = {
    "ExTrigger",
    "Timeout",
    "Exposure",
    "ExposureMin",
    "ExposureMax",
    "ExposureDefault",
    "GlobalGain",
    "GlobalGainMin",
    "GlobalGainMax",
    "GlobalGainDefault",
    "FlipH",
    "FlipV",
    "ColorEnable",
    "WhiteBalance",
    "RedGain",
    "GreenGain",
    "BlueGain",
    "ColorGainMin",
    "ColorGainMax",
    "ColorGainDefault",
    "Brightness",
    "BrightnessMin",
    "BrightnessMax",
    "BrightnessDefault",
    "Contrast",
    "ContrastMin",
    "ContrastMax",
    "ContrastDefault",
    "Saturation",
    "SaturationMin",
    "SaturationMax",
    "SaturationDefault",
    "Hue",
    "HueMin",
    "HueMax",
    "HueDefault",
    "Reserved36",
    "SubSample",
    "SensorWidth",
    "SensorHeight",
    "WindowX",
    "WindowY",
    "WindowWidth",
    "WindowHeight",
    "Roi",
    "PinOpen",
    "Reserved46",
    "Reserved47",
    "ColorCorrection",
    "Clock",
    "Reserved50",
    "Reserved51",
    "Reserved52",
    "Reserved53",
    "Reserved54",
    "AGC",
    "AEC",
    "SensorRegister",
    "RegisterShadow",
    "RawCommand",
    "ReadByte",
    "Reserved61",
    "Reserved62",
    "Reserved63",
    "Reserved64",
    "Reserved65",
    "Reserved66",
    "Reinitialize",
    "Reserved68",
};

}  // namespace

const char* PropertyName(ULONG id) {
    return id < kCameraPropertyCount ? kNames[id] : "?";
}

Record PropertyRecord(ULONG id) {
    if (id == PropRoi)
        return Record::Roi;
    if (id == PropRawCommand || id == PropReadByte)
        return Record::Raw;
    return Record::Value;
}

ULONG RecordSize(Record record) {
    switch (record) {
        case Record::Roi:
            return sizeof(CameraRoiValue);
        case Record::Raw:
            return sizeof(CameraRawValue);
        default:
            return sizeof(CameraPropertyValue);
    }
}

bool RangeItemsOf(ULONG id, ULONG* minimumId) {
    switch (id) {
        case PropExposure:
            *minimumId = PropExposureMin;
            return true;
        case PropGlobalGain:
            *minimumId = PropGlobalGainMin;
            return true;
        case PropRedGain:
        case PropGreenGain:
        case PropBlueGain:
            *minimumId = PropColorGainMin;
            return true;
        case PropBrightness:
            *minimumId = PropBrightnessMin;
            return true;
        case PropContrast:
            *minimumId = PropContrastMin;
            return true;
        case PropSaturation:
            *minimumId = PropSaturationMin;
            return true;
        case PropHue:
            *minimumId = PropHueMin;
            return true;
        default:
            return false;
    }
}

bool PropertyFromText(const std::string& text, ULONG* id) {
    for (ULONG i = 0; i < kCameraPropertyCount; ++i) {
        if (strcasecmp(text.c_str(), kNames[i]) == 0) {
            *id = i;
            return true;
        }
    }
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ULONG n = ULONG(std::strtoul(text.c_str(), nullptr, 10));
    if (n >= kCameraPropertyCount)
        return false;
    *id = n;
    return true;
}

}  // namespace tool
