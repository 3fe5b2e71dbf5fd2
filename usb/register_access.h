// Command exchanges on the camera: a command packet, and for a query the two replies after it.
// Every exchange holds the device's CommandLock from its first packet to its last reply, so
// exchanges from different threads (property requests, a settings load, the stream start)
// never interleave on the pipes or in CommandPacket. The lock is not recursive: nothing that
// holds it starts another exchange.
#pragma once

#include "driver/device_context.h"

// Builds CommandPacket from `bytes` (byte 0 the command code; at most 64 bytes are used, the
// rest of the packet is zero) and sends it. Whether all 64 bytes went out.
BOOLEAN SendCommand(DeviceContext* context, const UCHAR* bytes, ULONG count);

// Sends a zero-filled packet of its own (not CommandPacket) carrying `bytes`, for the reset
// and start-up requests. Whether all 64 bytes went out.
BOOLEAN SendOwnPacket(DeviceContext* context, const UCHAR* bytes, ULONG count);

// SendCommand, then two replies into CommandPacket; `answer` receives byte 0 of the second
// reply and is written only when all three transfers succeeded.
BOOLEAN QueryCommand(DeviceContext* context, const UCHAR* bytes, ULONG count, UCHAR* answer);

// Writes a 16-bit sensor register (command 0x04), pauses 20 microseconds after a successful
// send, and for registers 0..1023 remembers `value` in RegisterShadow.
BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, ULONG value);
