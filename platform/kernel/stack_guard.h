// Kernel image: the guard is the image's own (platform/kernel/stack_guard.cpp).
#pragma once

// Replaces the guard with one drawn at load. The first thing DriverEntry does: a frame
// entered before would fail its check on return.
void PlatformSeedStackGuard(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
