// A test program drives either the driver built into it or, when BAYERCAM_DRIVER_IMAGE names
// one, the shipped image (host::LoadDriver runs whichever is chosen). What a test reads of the
// driver's own variables must come from the driver that runs.
#pragma once

#include "control/region_of_interest.h"
#include "driver/camera_ops.h"
#include "platform/host/wdk.h"

// The address of a driver-wide variable in the driver that runs: `builtIn`, or the image's
// variable of that name, found through the image's debug symbols.
void* DriverVariable(void* builtIn, const char* name);

// The driver-wide frame-read time-out.
volatile LONG* DriverFrameTimeout();
// The video data range the driver advertises (it follows the region of interest).
KS_DATARANGE_VIDEO& DriverVideoRange();
// The camera operations a device record starts with.
const CameraOps* DriverCameraOperations();
