#include "tests/common/driver_form.h"

#include "platform/host/host_control.h"
#include "usb/frame_read.h"

void* DriverVariable(void* builtIn, const char* name) {
    const host::DriverImage* image = host::ChosenDriverImage();
    if (!image)
        return builtIn;
    void* variable = host::DriverImageSymbol(image, name);
    if (!variable)
        host::BugCheck(
            (std::string("the driver image's debug symbols do not give ") + name).c_str());
    return variable;
}

volatile LONG* DriverFrameTimeout() {
    return static_cast<volatile LONG*>(
        DriverVariable(const_cast<LONG*>(&FrameTimeout), "FrameTimeout"));
}

KS_DATARANGE_VIDEO& DriverVideoRange() {
    return *static_cast<KS_DATARANGE_VIDEO*>(DriverVariable(&VideoDataRange, "VideoDataRange"));
}

const CameraOps* DriverCameraOperations() {
    return static_cast<const CameraOps*>(
        DriverVariable(const_cast<CameraOps*>(&CameraOperations), "CameraOperations"));
}
