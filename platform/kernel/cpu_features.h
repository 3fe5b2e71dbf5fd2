// Kernel image: the widest routines the processor and the OS support, chosen once at driver
// entry (platform/kernel/cpu_features.cpp); each frame that uses them saves and restores the
// extended processor state they touch.
#pragma once

struct WideVectorState {
    XSTATE_SAVE save;
};

// Reads the processor's and the OS's support; DriverEntry calls it before anything converts.
void PlatformChooseWideVectors();

// The wide table for this frame, with its state saved; null (SSE2) when there is none or the
// save failed.
const BayerRoutines* PlatformBeginWideVectors(WideVectorState* state);
void PlatformEndWideVectors(WideVectorState* state);
