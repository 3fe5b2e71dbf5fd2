#include "tests/common/driver_form.h"

#include "platform/host/host_control.h"
#include "usb/frame_read.h"

volatile LONG* DriverFrameTimeout() {
    const host::DriverImage* image = host::ChosenDriverImage();
    if (!image)
        return &FrameTimeout;
    auto* timeout = static_cast<volatile LONG*>(host::DriverImageSymbol(image, "FrameTimeout"));
    if (!timeout)
        host::BugCheck("the driver image's debug symbols do not give FrameTimeout");
    return timeout;
}
