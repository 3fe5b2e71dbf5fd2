// The camera property set on the capture filter: every camera setting, its range items, direct
// register access, raw commands and the camera reset, one item per identifier 0..68. This
// header is also what an application needs to talk to the set: the identifiers and the records.
#pragma once

#include "driver/device_context.h"

// {3F263C66-0FDA-41D5-9EA8-CF2E342CEFB2}
#define STATIC_PROPSETID_CameraProperties \
    0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2
extern const GUID CameraPropertySetId;

// Item identifiers, named after the settings and registry values they carry.
enum CameraPropertyId : ULONG {
    PropExTrigger = 0,
    PropTimeout,
    PropExposure,
    PropExposureMin,
    PropExposureMax,
    PropExposureDefault,
    PropGlobalGain,
    PropGlobalGainMin,
    PropGlobalGainMax,
    PropGlobalGainDefault,
    PropFlipH,  // 10
    PropFlipV,
    PropColorEnable,
    PropWhiteBalance,
    PropRedGain,
    PropGreenGain,
    PropBlueGain,
    PropColorGainMin,
    PropColorGainMax,
    PropColorGainDefault,
    PropBrightness,  // 20
    PropBrightnessMin,
    PropBrightnessMax,
    PropBrightnessDefault,
    PropContrast,
    PropContrastMin,
    PropContrastMax,
    PropContrastDefault,
    PropSaturation,
    PropSaturationMin,
    PropSaturationMax,  // 30
    PropSaturationDefault,
    PropHue,
    PropHueMin,
    PropHueMax,
    PropHueDefault,
    PropReserved36,
    PropSubSample,
    PropSensorWidth,
    PropSensorHeight,
    PropWindowX,  // 40
    PropWindowY,
    PropWindowWidth,
    PropWindowHeight,
    PropRoi,
    PropPinOpen,
    PropReserved46,
    PropReserved47,
    PropColorCorrection,
    PropClock,
    PropReserved50,  // 50
    PropReserved51,
    PropReserved52,
    PropReserved53,
    PropReserved54,
    PropAGC,
    PropAEC,
    PropSensorRegister,
    PropRegisterShadow,
    PropRawCommand,
    PropReadByte,  // 60
    PropReserved61,
    PropReserved62,
    PropReserved63,
    PropReserved64,
    PropReserved65,
    PropReserved66,
    PropReinitialize,
    PropReserved68,
};
constexpr ULONG kCameraPropertyCount = 69;

// The data records applications exchange. Each starts with a copy of the request header,
// which the driver does not read.
struct CameraPropertyValue {
    KSPROPERTY Header;
    LONG Value;
    LONG Second;  // SensorRegister: the register's value
};
struct CameraRoiValue {
    KSPROPERTY Header;
    LONG Reserved0;
    LONG X;
    LONG Y;
    LONG Width;
    LONG Height;
    LONG Reserved1;
};
constexpr ULONG kRawCommandBytes = 64;
struct CameraRawValue {
    KSPROPERTY Header;
    LONG Value;   // ReadByte set: the address to select
    LONG Length;  // RawCommand set: how many of Bytes to send
    UCHAR Bytes[kRawCommandBytes];
};
static_assert(sizeof(CameraPropertyValue) == 32, "CameraPropertyValue");
static_assert(offsetof(CameraPropertyValue, Value) == 24, "CameraPropertyValue.Value");
static_assert(sizeof(CameraRoiValue) == 48, "CameraRoiValue");
static_assert(offsetof(CameraRoiValue, X) == 28, "CameraRoiValue.X");
static_assert(sizeof(CameraRawValue) == 96, "CameraRawValue");
static_assert(offsetof(CameraRawValue, Bytes) == 32, "CameraRawValue.Bytes");

// The set's items in identifier order, and the one property set of the filter.
extern const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount];
extern const KSPROPERTY_SET CameraPropertySets[1];
