#include "tools/driver_choice.h"

#include <cstdio>

#include "control/region_of_interest.h"
#include "control/settings.h"
#include "platform/host/host_control.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"

namespace tool {
namespace {

// The built-in driver's functions, called in the kernel's convention like the image's.
NTSTATUS NTAPI BuiltInConfigureDevice(UsbDevice* usb) {
    return ConfigureDevice(usb);
}
void NTAPI BuiltInFreeConfiguration(UsbDevice* usb) {
    FreeConfiguration(usb);
}
BOOLEAN NTAPI BuiltInInitializeCamera(DeviceContext* context) {
    return InitializeCamera(context);
}
NTSTATUS NTAPI BuiltInReadRawFrame(DeviceContext* context, PUCHAR buffer) {
    return ReadRawFrame(context, buffer);
}
void NTAPI BuiltInSetRegionOfInterest(DeviceContext* context, LONG x, LONG y, LONG width,
                                      LONG height) {
    SetRegionOfInterest(context, x, y, width, height);
}

template <typename T>
bool Find(const host::DriverImage* image, const char* name, T* out, std::string* error) {
    void* address = host::DriverImageSymbol(image, name);
    if (!address) {
        *error = std::string("the image's debug symbols have no ") + name;
        return false;
    }
    *out = reinterpret_cast<T>(address);
    return true;
}

// Those of the driver that runs. False, with the missing name, when the image's debug symbols
// lack one.
bool BindInternals(DriverInternals* d, std::string* error) {
    const host::DriverImage* image = host::ChosenDriverImage();
    if (!image) {
        *d = DriverInternals{};
        d->frameTimeout = &FrameTimeout;
        d->videoDataRange = &VideoDataRange;
        d->configureDevice = BuiltInConfigureDevice;
        d->freeConfiguration = BuiltInFreeConfiguration;
        d->initializeCamera = BuiltInInitializeCamera;
        d->readRawFrame = BuiltInReadRawFrame;
        d->setRegionOfInterest = BuiltInSetRegionOfInterest;
        return true;
    }
    return Find(image, "FrameTimeout", &d->frameTimeout, error) &&
           Find(image, "VideoDataRange", &d->videoDataRange, error) &&
           Find(image, "ConfigureDevice", &d->configureDevice, error) &&
           Find(image, "FreeConfiguration", &d->freeConfiguration, error) &&
           Find(image, "InitializeCamera", &d->initializeCamera, error) &&
           Find(image, "ReadRawFrame", &d->readRawFrame, error) &&
           Find(image, "SetRegionOfInterest", &d->setRegionOfInterest, error);
}

}  // namespace

CLI::Option* AddDriverOption(CLI::App& command, std::string* image) {
    return command
        .add_option("--driver", *image,
                    "run this kernel image (bayercam.sys, its debug file beside it) instead of "
                    "the driver built into the tool")
        ->check(CLI::ExistingFile);
}

bool ChooseDriver(const char* command, const std::string& image, DriverInternals* internals) {
    std::string error;
    if (!image.empty() && !host::ChooseDriverImage(image, &error)) {
        std::fprintf(stderr, "bayercam %s: the driver image %s: %s\n", command, image.c_str(),
                     error.c_str());
        return false;
    }
    if (internals && !BindInternals(internals, &error)) {
        std::fprintf(stderr, "bayercam %s: %s\n", command, error.c_str());
        return false;
    }
    return true;
}

}  // namespace tool
