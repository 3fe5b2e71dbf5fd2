// The stack protector's guard value. The kernel image checks its frames against a guard of
// its own, which must be made unpredictable before any protected frame is entered; the host
// build runs under the C library's protector, if any, whose guard is already set.
#pragma once

#include "platform/platform.h"

// A frame that must not be checked against the guard: one live while the guard changes.
#define BC_UNGUARDED_FRAME __attribute__((no_stack_protector))

#if defined(BAYERCAM_KERNEL)
#include "platform/kernel/stack_guard.h"
#else
#include "platform/host/stack_guard.h"
#endif
