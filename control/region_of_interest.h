// The region of interest cut out of every raw frame, and the one video data range through which
// the capture pin advertises the resulting image size.
#pragma once

#include "driver/device_context.h"

// Shared by every camera the driver serves; reflects the last region set on any of them.
extern KS_DATARANGE_VIDEO VideoDataRange;

// One frame every thirtieth of a second, in units of 100 ns.
constexpr LONGLONG kFrameInterval = 333333;

// Aligns and clamps the region into the sensor, never refuses; does nothing while a capture pin
// exists, so the advertised format never changes under an open pin.
void SetRegionOfInterest(DeviceContext* context, LONG x, LONG y, LONG width, LONG height);
