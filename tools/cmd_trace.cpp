// bayercam trace: a simulated camera arrives, the driver configures it and reads frames from
// it, and every request that crossed to the camera is shown in order, as a USB monitor on the
// cable would show it. With --fault the camera misbehaves and the trace shows how the driver
// copes. Ctrl-C stops it after the frame in hand, with the summary of what it saw.
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
#include "tools/interrupt.h"
#include "tools/json_lines.h"
#include "tools/status_text.h"
#include "tools/trace_print.h"
#include "usb/frame_read.h"

namespace tool {
namespace {

// Far above the sensor's frame: a driver asking for more is not reading this camera.
constexpr ULONG kMaxFrameBytes = 64u << 20;

struct Options {
    int frames = 1;
    long long timeout = kDefaultFrameTimeout;
    std::vector<std::string> faults;  // empty: the camera behaves
    bool unpaced = false;
    bool json = false;
    std::string driver;  // a kernel image to run instead of the built-in driver
};

struct Counts {
    NTSTATUS configured = STATUS_SUCCESS;
    ULONG frameBytes = 0;  // the frame length the driver reads
    int attempted = 0;
    int read = 0;
};

void PrintSummary(const TraceMonitor& monitor, const Options& o, const Counts& c,
                  bool interrupted) {
    const TraceTotals& t = monitor.Totals();
    if (monitor.Json()) {
        PrintJsonLine({{"kind", "summary"},
                       {"frames", o.frames},
                       {"attempted", c.attempted},
                       {"read", c.read},
                       {"failed", c.attempted - c.read},
                       {"requests", t.requests},
                       {"failedRequests", t.failedRequests},
                       {"frameBytes", t.frameBytes},
                       {"elapsedUs", t.lastUs},
                       {"interrupted", interrupted}});
        return;
    }
    std::printf(
        "-- %s%d of %d frames read (%d failed); %llu requests (%llu failed), %llu bytes "
        "on the frame pipe, %lld us\n",
        interrupted ? "interrupted: " : "", c.read, o.frames, c.attempted - c.read,
        (unsigned long long)t.requests, (unsigned long long)t.failedRequests,
        (unsigned long long)t.frameBytes, (long long)t.lastUs);
    std::fflush(stdout);
}

// Configures the camera as device start does, starts it up as a stream start does and reads
// frames with the driver's frame read, showing every request as it goes. The frames are read
// even after a failed configuration: the trace shows what the driver then sends.
Counts Watch(const Options& o, const DriverInternals& driver, DeviceContext* context,
             const InterruptWatch& interrupt, TraceMonitor* monitor) {
    Counts c;
    monitor->PrintHeader();
    c.configured = driver.configureDevice(&context->Usb);
    monitor->PrintRequests();
    monitor->PrintStep("configure", c.configured);
    // The start-up also sets the raw frame geometry.
    const BOOLEAN started = driver.initializeCamera(context);
    monitor->PrintRequests();
    monitor->PrintStep("start-up", started ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);

    c.frameBytes = context->RawFrameSize;
    if (c.frameBytes == 0 || c.frameBytes > kMaxFrameBytes)
        return c;
    host::PoolBuffer buffer(c.frameBytes, 0);  // a capture buffer is pool
    for (int frame = 1; frame <= o.frames && !interrupt.Interrupted(); ++frame) {
        monitor->BeginFrame(frame);
        NTSTATUS status = driver.readRawFrame(context, buffer.data());
        ++c.attempted;
        if (status == STATUS_SUCCESS)
            ++c.read;
        monitor->EndFrame(frame, status, c.frameBytes);
    }
    monitor->PrintRequests();
    return c;
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

    // A monitor left running is stopped with Ctrl-C; what it saw until then is still summed up.
    InterruptWatch interrupt;
    TraceMonitor monitor(camera.get(), o.json);
    const Counts c = Watch(o, driver, context, interrupt, &monitor);
    PrintSummary(monitor, o, c, interrupt.Interrupted());

    driver.freeConfiguration(&context->Usb);
    host::RemoveDevice(device);
    InterlockedExchange(driver.frameTimeout, savedTimeout);
    camera.reset();
    if (interrupt.Interrupted())
        interrupt.EndAsInterrupted();

    // The trace is the product, but a script asked for frames: a run that configured nothing
    // or read fewer frames than asked did not do its job.
    if (!NT_SUCCESS(c.configured)) {
        std::fprintf(stderr, "bayercam trace: configuring the camera failed: %s\n",
                     StatusText(c.configured).c_str());
        return kExitFailure;
    }
    if (c.frameBytes == 0 || c.frameBytes > kMaxFrameBytes) {
        std::fprintf(stderr, "bayercam trace: the driver reads frames of %lu bytes\n",
                     (unsigned long)c.frameBytes);
        return kExitFailure;
    }
    if (c.read < o.frames) {
        std::fprintf(stderr, "bayercam trace: %d of %d frames read\n", c.read, o.frames);
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
    command.add_flag(
        "--json", o->json,
        "print JSON lines, one per request, step and frame boundary, each with its \"kind\"");
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
