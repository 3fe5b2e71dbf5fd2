// bayercam trace: a simulated camera arrives, the driver configures it and reads frames from
// it, and every request that crossed to the camera is shown in order, as a USB monitor on the
// cable would show it. With --fault the camera misbehaves and the trace shows how the driver
// copes.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "sim/sim_camera.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/driver_choice.h"
#include "tools/json_lines.h"
#include "tools/status_text.h"
#include "tools/trace_print.h"
#include "usb/frame_read.h"

namespace tool {
namespace {

using nlohmann::ordered_json;

struct Options {
    int frames = 1;
    long long timeout = kDefaultFrameTimeout;
    std::vector<std::string> faults;  // empty: the camera behaves
    bool unpaced = false;
    bool json = false;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

void PrintStep(bool json, const char* step, int frame, NTSTATUS status) {
    if (json) {
        ordered_json line = {{"step", step}};
        if (frame > 0)
            line["frame"] = frame;
        SetStatus(line, "status", status);
        PrintJsonLine(line);
    } else if (frame > 0) {
        std::printf("-- frame %d: %s\n", frame, StatusText(status).c_str());
    } else {
        std::printf("-- %s: %s\n", step, StatusText(status).c_str());
    }
}

int Run(const Options& o) {
    DriverInternals driver;
    if (!ChooseDriver("trace", o.driver, &driver))
        return kExitFailure;
    sim::CameraOptions options;
    options.paced = !o.unpaced;
    std::string error;
    std::unique_ptr<sim::Camera> camera = sim::Camera::Create(options, &error);
    if (!camera) {
        std::fprintf(stderr, "bayercam trace: no camera: %s\n", error.c_str());
        return kExitFailure;
    }
    for (const sim::FaultSetting& fault : FaultSettings(o.faults))
        camera->ApplyFault(fault);

    NTSTATUS status = host::LoadDriver(DriverEntry);
    PKSDEVICE device = nullptr;
    if (NT_SUCCESS(status))
        status = host::AddDevice(camera->DeviceObject(), &device);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "bayercam trace: the device did not arrive: status %s\n",
                     StatusHex(status).c_str());
        return kExitFailure;
    }
    auto* context = static_cast<DeviceContext*>(device->Context);
    LONG savedTimeout = InterlockedExchange(driver.frameTimeout, LONG(ULONG(o.timeout)));

    if (!o.json)
        std::printf("%s\n", TransferHeader().c_str());
    const NTSTATUS configured = driver.configureDevice(&context->Usb);
    PrintTransfers(camera.get(), o.json);
    PrintStep(o.json, "configure", 0, configured);

    // The raw frame geometry the camera's start-up establishes. The frames are read even
    // after a failed configuration: the trace shows what the driver then sends.
    context->RawOrigin = 0;
    context->RawPitch = sim::kFrameWidth;
    context->RawFrameSize = sim::kFrameBytes;
    host::PoolBuffer buffer(sim::kFrameBytes, 0);  // a capture buffer is pool
    int read = 0;
    for (int frame = 1; frame <= o.frames; ++frame) {
        NTSTATUS frameStatus = driver.readRawFrame(context, buffer.data());
        if (frameStatus == STATUS_SUCCESS)
            ++read;
        PrintTransfers(camera.get(), o.json);
        PrintStep(o.json, "frame", frame, frameStatus);
    }
    if (o.json) {
        PrintJsonLine({{"frames", o.frames}, {"read", read}});
    } else {
        std::printf("-- %d of %d frames read\n", read, o.frames);
    }

    driver.freeConfiguration(&context->Usb);
    host::RemoveDevice(device);
    InterlockedExchange(driver.frameTimeout, savedTimeout);

    // The trace is the product, but a script asked for frames: a run that configured nothing
    // or read fewer frames than asked did not do its job.
    if (!NT_SUCCESS(configured)) {
        std::fprintf(stderr, "bayercam trace: configuring the camera failed: %s\n",
                     StatusText(configured).c_str());
        return kExitFailure;
    }
    if (read < o.frames) {
        std::fprintf(stderr, "bayercam trace: %d of %d frames read\n", read, o.frames);
        return kExitFailure;
    }
    return kExitSuccess;
}

Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("--frames", o->frames, "frames to read")
        ->check(IntRange(1, 100000))
        ->capture_default_str();
    command.add_option("--timeout", o->timeout, "the driver's frame timeout, in milliseconds")
        ->check(IntRange(0LL, 0xFFFFFFFFLL))
        ->capture_default_str();
    AddFaultOption(command, &o->faults);
    command.add_flag("--unpaced", o->unpaced,
                     "deliver frames as fast as they are read, not at the camera's frame rate");
    command.add_flag("--json", o->json, "print JSON lines, one per request and per step");
    AddDriverOption(command, &o->driver);
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "trace",
    "read frames from a simulated camera and show every USB request that crossed",
    Setup,
});

}  // namespace
}  // namespace tool
