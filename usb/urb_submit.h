// Synchronous requests to the bus driver below the camera.
#pragma once

#include "driver/device_context.h"

// Sends the internal device-control request `ioControlCode` with `argument` as its first
// argument to NextDeviceObject and waits, without time-out, until it has completed.
// STATUS_INSUFFICIENT_RESOURCES if no request can be built. Passive level only.
NTSTATUS CallBusDriver(UsbDevice* usb, ULONG ioControlCode, PVOID argument);

// Submits one URB and waits for its completion. The URB's own USBD status is left to the
// caller. Passive level only.
NTSTATUS SubmitUrb(UsbDevice* usb, PURB urb);
