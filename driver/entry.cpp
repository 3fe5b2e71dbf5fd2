// Registration with AVStream. Only Add, Start and Stop are the driver's own; AVStream's
// defaults handle every other PnP and power request. No filter is listed here: Start creates
// the one filter factory once the camera is configured.
#include "driver/device_context.h"
#include "platform/cpu_features.h"
#include "platform/stack_guard.h"

namespace {

const KSDEVICE_DISPATCH DeviceDispatch = {
    Add,      // Add
    Start,    // Start
    nullptr,  // PostStart
    nullptr,  // QueryStop
    nullptr,  // CancelStop
    Stop,     // Stop
    nullptr,  // QueryRemove
    nullptr,  // CancelRemove
    nullptr,  // Remove
    nullptr,  // QueryCapabilities
    nullptr,  // SurpriseRemoval
    nullptr,  // QueryPower
    nullptr,  // SetPower
    nullptr,  // QueryInterface
};

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {
    &DeviceDispatch,
    0,        // FilterDescriptorsCount
    nullptr,  // FilterDescriptors
    0,        // Version
};

}  // namespace

// Unguarded: its frame is entered under the initial guard and left under the seeded one.
extern "C" BC_UNGUARDED_FRAME NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                         PUNICODE_STRING registryPath) {
    PlatformSeedStackGuard(driverObject, registryPath);
    PlatformChooseWideVectors();
    return KsInitializeDriver(driverObject, registryPath, &DeviceDescriptor);
}
