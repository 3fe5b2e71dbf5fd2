// Command exchanges on the camera: a command packet, and for a query the two replies after it.
// They all share CommandPacket, so two exchanges on one device must never overlap; the callers
// run them one at a time.
#pragma once

#include "driver/device_context.h"

// Builds CommandPacket from `bytes` (byte 0 the command code; at most 64 bytes are used, the
// rest of the packet is zero) and sends it. Whether all 64 bytes went out.
BOOLEAN SendCommand(DeviceContext* context, const UCHAR* bytes, ULONG count);

// SendCommand, then two replies into CommandPacket; `answer` receives byte 0 of the second
// reply and is written only when all three transfers succeeded.
BOOLEAN QueryCommand(DeviceContext* context, const UCHAR* bytes, ULONG count, UCHAR* answer);

// Writes a 16-bit sensor register (command 0x04), pauses 20 microseconds after a successful
// send, and for registers 0..1023 remembers `value` in RegisterShadow.
BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, ULONG value);
