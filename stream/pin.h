// The capture pin: its record, its dispatch (Create, Close, SetDataFormat, SetDeviceState,
// Process) and the stream and capture operations that its state changes drive.
#pragma once

#include "driver/device_context.h"

// CaptureState of a pin.
constexpr LONG kCaptureNone = 0;
constexpr LONG kCapturePaused = 1;
constexpr LONG kCaptureRunning = 2;

// The pin's one operation: ask AVStream for a Process pass of this pin.
struct PinOps {
    void (*RequestProcessing)(PinContext* pin);
};

struct PinContext {
    const PinOps* Ops;
    PKSPIN Pin;
    DeviceContext* Device;
    LONG CaptureState;
    PIKSREFERENCECLOCK ReferenceClock;
    KS_VIDEOINFOHEADER VideoInfo;
    BOOLEAN Acquired;
    LONG Stride;  // row pitch after a format change on the open pin; 0 otherwise
};

extern const KSPIN_DISPATCH CapturePinDispatch;

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                                const KSDATARANGE* range, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
// Sizes the pin's private framing to frames of `frameSize` bytes, two of them.
void SizeFraming(PKSPIN pin, ULONG frameSize);
// The Process pass: converts the newest raw frame into the frame at the leading edge.
NTSTATUS NTAPI PinProcess(PKSPIN pin);

// The stream claim and the capture: the pin's state changes call these.
NTSTATUS OpenStream(DeviceContext* device, PinContext* pin, const KS_VIDEOINFOHEADER* info);
void CloseStream(DeviceContext* device);
NTSTATUS StartCapture(DeviceContext* device);
void StopCapture(PinContext* pin);

// The FrameReady camera operation: counts the frame and asks for a Process pass of the
// device's active pin.
void FrameReady(DeviceContext* context);
