// What the driver shows to the kernel-streaming world: one capture filter with one video
// output pin offering the driver-wide video data range, and the format intersection.
#pragma once

#include "driver/device_context.h"

// The filter's one record: which filter it belongs to. Owned by the filter's object bag.
struct FilterContext {
    PKSFILTER Filter;
};

extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;
extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming;

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
// Saves the camera's settings each time an application closes the filter.
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

// The pin's intersection handler: the format of a caller's video range that matches the pin's
// range, with the caller's video info header and the image size computed from its bitmap.
NTSTATUS NTAPI IntersectVideoFormat(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                    PKSDATARANGE pinRange, ULONG bufferSize, PVOID data,
                                    PULONG dataSize);
