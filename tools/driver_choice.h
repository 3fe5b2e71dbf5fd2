// --driver IMAGE: the tools run the shipped kernel image, mapped by the host's loader, instead
// of the driver built into them. Where a tool reaches past the Windows interfaces into the
// driver's own functions and variables (trace reads frames itself, info sets a region before
// the device starts, stream --raw-out watches the conversion), it finds them as a debugger
// would: in the image, through its debug symbols.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "driver/device_context.h"

namespace tool {

CLI::Option* AddDriverOption(CLI::App& command, std::string* image);

// Makes host::LoadDriver run the image at `image` (nothing to do when empty), and binds
// `internals` (when given) to the driver that runs. False, with the reason on standard error
// under the command's name, when the image cannot be loaded or lacks a symbol.
struct DriverInternals;
bool ChooseDriver(const char* command, const std::string& image,
                  DriverInternals* internals = nullptr);

// The driver's own functions, in the convention of the kernel (which the built-in ones get
// through wrappers), and its variables.
struct DriverInternals {
    volatile LONG* frameTimeout = nullptr;
    const KS_DATARANGE_VIDEO* videoDataRange = nullptr;  // driver-wide, follows the region
    NTSTATUS(NTAPI* configureDevice)(UsbDevice* usb) = nullptr;
    void(NTAPI* freeConfiguration)(UsbDevice* usb) = nullptr;
    BOOLEAN(NTAPI* initializeCamera)(DeviceContext* context) = nullptr;
    NTSTATUS(NTAPI* readRawFrame)(DeviceContext* context, PUCHAR buffer) = nullptr;
    void(NTAPI* setRegionOfInterest)(DeviceContext* context, LONG x, LONG y, LONG width,
                                     LONG height) = nullptr;
};

}  // namespace tool
