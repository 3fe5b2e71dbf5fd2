// A test program drives either the driver built into it or, when BAYERCAM_DRIVER_IMAGE names
// one, the shipped image (host::LoadDriver runs whichever is chosen). What a test reads of the
// driver's own state must come from the driver that runs.
#pragma once

#include "platform/host/wdk.h"

// The driver-wide frame-read time-out of the driver that runs: the built-in variable, or the
// image's, found through the image's debug symbols.
volatile LONG* DriverFrameTimeout();
