// I/O requests, memory descriptors and internal device control of the host platform.
// The USB transport brings the IRP and MDL records here.
#pragma once

#include "platform/host/nt_kernel.h"
