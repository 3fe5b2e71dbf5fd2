// The one header every driver source includes first. It brings in the kernel, AVStream and
// USB declarations the driver is written against: the WDK headers in the kernel build, and
// the user-mode platform's declarations of the same names and layouts in the host build.
#pragma once

#if defined(BAYERCAM_KERNEL)
#include "platform/kernel/wdk.h"
#else
#include "platform/host/wdk.h"
#endif

#include "platform/layout_checks.h"
