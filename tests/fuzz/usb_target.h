// The USB target's run (usb_target.cpp has the encoding): arrival above `lower`, start, the
// actions, teardown.
#pragma once

#include <cstdint>

#include "platform/host/host_control.h"

void RunUsbActions(uint8_t actions, PDEVICE_OBJECT lower);
