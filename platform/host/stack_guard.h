// Host build: the C library owns the guard and has set it before main.
#pragma once

inline void PlatformSeedStackGuard(PDRIVER_OBJECT, PUNICODE_STRING) {}
