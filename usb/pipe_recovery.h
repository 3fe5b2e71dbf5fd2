// Pipe and port requests: aborting pending pipes, resetting a pipe, and resetting the port of
// a camera that is connected but disabled.
#pragma once

#include "driver/device_context.h"

// Aborts every pipe marked in PipePending and clears the mark of each abort that succeeded.
// Does nothing on an unconfigured device. Passive level only.
void AbortPipes(DeviceContext* context);

// Whether a transfer's USB status is an error that halts its endpoint (the high two bits
// set); the endpoint then refuses every transfer until it is reset.
inline BOOLEAN IsHaltStatus(USBD_STATUS status) {
    return (ULONG(status) >> 30) == 3 && status != USBD_STATUS_DEVICE_GONE &&
           status != USBD_STATUS_CANCELED;
}

// Resets one pipe (clears a halt). Passive level only.
NTSTATUS ResetPipe(UsbDevice* usb, USBD_PIPE_HANDLE handle);

// Asks for the port status and resets the port only when the camera is connected but the port
// is disabled. Passive level only.
NTSTATUS ResetPortIfDisabled(UsbDevice* usb);
