// The pipes of the camera's first interface, and the request blocks that address one pipe.
#pragma once

#include "driver/device_context.h"

// Pipe indices in the recorded interface.
constexpr ULONG kCommandPipe = 0;  // command packets, host to camera
constexpr ULONG kReplyPipe = 1;    // reply packets, camera to host
constexpr ULONG kFramePipe = 2;    // raw frame data, camera to host

// The pipe at `index` of the recorded interface, checked for use by a bulk or interrupt
// transfer: no interface gives STATUS_UNSUCCESSFUL, an index beyond the pipes or a pipe of
// another type STATUS_INVALID_PARAMETER, a pipe without handle STATUS_UNSUCCESSFUL.
NTSTATUS FindTransferPipe(const UsbDevice* usb, ULONG index, const USBD_PIPE_INFORMATION** pipe);

// Transfer flags for a pipe: short transfers allowed, direction from bit 7 of the endpoint.
ULONG TransferFlagsFor(const USBD_PIPE_INFORMATION* pipe);

// A zero-filled bulk or interrupt transfer request for `pipe` over `buffer` or `mdl`, or null
// when the pool refuses it. The caller frees it with ExFreePoolWithTag(urb, kTagUsb).
PURB AllocateBulkTransfer(const USBD_PIPE_INFORMATION* pipe, PVOID buffer, PMDL mdl, ULONG length);

// A pipe request (abort, reset) for `handle`, or null when the pool refuses it.
PURB AllocatePipeRequest(USHORT function, USBD_PIPE_HANDLE handle);

void FreeUrb(PURB urb);
