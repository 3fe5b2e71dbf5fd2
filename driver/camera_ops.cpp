// The one constant table of camera operations shared by every device, and the getters of the
// raw frame geometry. The geometry never depends on the region of interest: the camera always
// sends the full sensor, and the region is cut out during conversion.
#include "driver/camera_ops.h"

#include "control/settings.h"
#include "stream/pin.h"
#include "usb/frame_read.h"
#include "usb/frame_transfers.h"
#include "usb/pipe_recovery.h"

namespace {

// A reinitialisation may rewrite the geometry while the worker reads it: read it whole.
ULONG LoadGeometry(ULONG* field) {
    return ULONG(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(field), 0, 0));
}

}  // namespace

void GetFrameSize(DeviceContext* context, ULONG* size) {
    *size = LoadGeometry(&context->RawFrameSize);
}

void GetFrameOrigin(DeviceContext* context, ULONG* origin) {
    *origin = LoadGeometry(&context->RawOrigin);
}

void GetFramePitch(DeviceContext* context, ULONG* pitch) {
    *pitch = LoadGeometry(&context->RawPitch);
}

LONG GetRoiX(DeviceContext* context) {
    return context->RoiX;
}

LONG GetRoiY(DeviceContext* context) {
    return context->RoiY;
}

namespace {

// The transfers in flight belong to the USB record of the device.
void CancelDeviceTransfers(DeviceContext* context) {
    CancelTransfers(&context->Usb);
}

}  // namespace

const CameraOps CameraOperations = {
    FrameReady,             // FrameReady
    InitializeCamera,       // InitializeCamera
    ReadFrame,              // ReadFrame
    GetFrameSize,           // GetFrameSize
    GetFrameOrigin,         // GetFrameOrigin
    GetFramePitch,          // GetFramePitch
    AbortPipes,             // AbortPipes
    CancelDeviceTransfers,  // CancelTransfers
    GetRoiX,                // GetRoiX
    GetRoiY,                // GetRoiY
};
