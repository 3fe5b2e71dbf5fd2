// The one constant table of camera operations shared by every device, and the getters of the
// raw frame geometry. The geometry never depends on the region of interest: the camera always
// sends the full sensor, and the region is cut out during conversion.
#include "driver/camera_ops.h"

void GetFrameSize(DeviceContext* context, ULONG* size) {
    *size = context->RawFrameSize;
}

void GetFrameOrigin(DeviceContext* context, ULONG* origin) {
    *origin = context->RawOrigin;
}

void GetFramePitch(DeviceContext* context, ULONG* pitch) {
    *pitch = context->RawPitch;
}

LONG GetRoiX(DeviceContext* context) {
    return context->RoiX;
}

LONG GetRoiY(DeviceContext* context) {
    return context->RoiY;
}

namespace {

// Frame delivery fills this slot: until the capture pin exists nothing is waiting for frames.
void FrameReadyNotYet(DeviceContext*) {}

// The sensor settings fill this slot with the camera's start-up sequence; until then the camera
// is never initialised, the raw geometry stays zero and the caller is told so.
BOOLEAN InitializeCameraNotYet(DeviceContext*) {
    return FALSE;
}

// The USB transport fills these three slots with the bulk frame read and its cancellation.
// Until then no frame can be read, and there is nothing in flight to abort or cancel.
void ReadFrameNotYet(DeviceContext*, PUCHAR, BOOLEAN* success) {
    *success = FALSE;
}
void AbortPipesNotYet(DeviceContext*) {}
void CancelTransfersNotYet(DeviceContext*) {}

}  // namespace

const CameraOps CameraOperations = {
    FrameReadyNotYet,        // FrameReady
    InitializeCameraNotYet,  // InitializeCamera
    ReadFrameNotYet,         // ReadFrame
    GetFrameSize,            // GetFrameSize
    GetFrameOrigin,          // GetFrameOrigin
    GetFramePitch,           // GetFramePitch
    AbortPipesNotYet,        // AbortPipes
    CancelTransfersNotYet,   // CancelTransfers
    GetRoiX,                 // GetRoiX
    GetRoiY,                 // GetRoiY
};
