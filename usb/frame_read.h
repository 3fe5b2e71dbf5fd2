// Reading one raw frame from the camera's frame pipe into the caller's resident buffer.
#pragma once

#include "driver/device_context.h"

// The frame-read time-out in milliseconds, one for every device. Read and written only with
// interlocked operations; the Timeout setting replaces it.
extern volatile LONG FrameTimeout;
constexpr LONG kDefaultFrameTimeout = 3000;

// The relative wait (negative, in 100-ns units) for a time-out of `milliseconds`. The value is
// taken as an unsigned count, so every setting waits exactly as long as it says: nothing wraps
// into a short, an absolute or an endless wait; the longest, 0xFFFFFFFF ms, is about 49.7 days.
LONGLONG FrameWaitInterval(LONG milliseconds);

// Reads RawFrameSize bytes into `buffer` in 64 KiB bulk transfers queued all at once, then
// tells the camera to send. Returns STATUS_SUCCESS once every transfer has completed within
// FrameTimeout, STATUS_TIMEOUT after cancelling and awaiting the ones still outstanding, or
// the failure that stopped the read. Passive level only; one read per device at a time.
NTSTATUS ReadRawFrame(DeviceContext* context, PUCHAR buffer);

// The ReadFrame camera operation: `success` becomes whether ReadRawFrame succeeded.
void ReadFrame(DeviceContext* context, PUCHAR buffer, BOOLEAN* success);
