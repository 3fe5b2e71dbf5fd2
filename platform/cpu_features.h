// Which wide-vector pixel routines the driver may use, and what using them takes: the one
// place where either depends on the build. Every frame that takes a wide table is bracketed:
//
//   WideVectorState state;
//   const BayerRoutines* wide = PlatformBeginWideVectors(&state);  // null: SSE2 this frame
//   ... convert with wide ...
//   if (wide) PlatformEndWideVectors(&state);
//
// The kernel image saves the extended processor state around the frame (its threads' AVX
// registers belong to whatever they interrupted); host threads are user threads, whose state
// the OS saves.
#pragma once

#include "platform/platform.h"

struct BayerRoutines;

#if defined(BAYERCAM_KERNEL)
#include "platform/kernel/cpu_features.h"
#else
#include "platform/host/cpu_features.h"
#endif
