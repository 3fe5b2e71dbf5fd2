// The frame read against an unpaced simulated camera: frames per second, and the driver's CPU
// time per frame against what the simulated bus spends delivering the frame, in the same run.
//
// driver_cpu_us: the reading thread's CPU time inside ReadFrame: the three stream commands, the
//   five chunk requests, descriptors and request blocks built, queued and freed, the waits, and
//   the submission work the simulated bus driver does synchronously in that thread (so it is an
//   upper bound of the driver's own cost).
// bus_cpu_us: the CPU time every other thread of the process spent meanwhile, that is the
//   camera's bus thread: copying the frame into the queued reads and completing them.
// copy_us: one plain copy of the frame's 325632 bytes on the reading thread, the least any bus
//   must spend to deliver a frame.
// With synchronous_commands the camera completes command packets inside the call instead of
// on its bus thread, which takes the three command round trips between threads out of it.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/camera_ops.h"
#include "platform/host/host_control.h"
#include "sim/sim_camera.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"

namespace {

int64_t CpuNanoseconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A camera arrived below the driver and configured as device start leaves it.
struct ConfiguredCamera {
    std::unique_ptr<sim::Camera> camera;
    PKSDEVICE device = nullptr;
    DeviceContext* context = nullptr;

    bool Arrive(benchmark::State& state, bool synchronousCommands) {
        sim::CameraOptions options;
        options.paced = false;
        options.synchronousCompletion = synchronousCommands;
        options.moving = false;  // the scene is rendered once: the bus only copies
        std::string error;
        camera = sim::Camera::Create(options, &error);
        if (!camera) {
            state.SkipWithError(error.c_str());
            return false;
        }
        if (!NT_SUCCESS(host::LoadDriver(DriverEntry)) ||
            !NT_SUCCESS(host::AddDevice(camera->DeviceObject(), &device))) {
            state.SkipWithError("the device did not arrive");
            return false;
        }
        context = static_cast<DeviceContext*>(device->Context);
        if (!NT_SUCCESS(ConfigureDevice(&context->Usb))) {
            state.SkipWithError("the device could not be configured");
            return false;
        }
        context->RawOrigin = 0;
        context->RawPitch = sim::kFrameWidth;
        context->RawFrameSize = sim::kFrameBytes;
        return true;
    }

    ~ConfiguredCamera() {
        if (context)
            FreeConfiguration(&context->Usb);
        if (device)
            host::RemoveDevice(device);
    }
};

void ReadFrames(benchmark::State& state) {
    ConfiguredCamera arrived;
    if (!arrived.Arrive(state, state.range(0) != 0))
        return;
    DeviceContext* context = arrived.context;
    std::vector<UCHAR> buffer(sim::kFrameBytes);

    // One frame first, so the camera has rendered its scene and the copy has a source.
    BOOLEAN ok = FALSE;
    context->Ops->ReadFrame(context, buffer.data(), &ok);
    std::vector<uint8_t> sent = arrived.camera->LastFrame();
    if (!ok || sent.size() != sim::kFrameBytes) {
        state.SkipWithError("the first frame did not arrive");
        return;
    }
    std::vector<uint8_t> copy(sim::kFrameBytes);

    int64_t driverNs = 0, busNs = 0, copyNs = 0, frames = 0, failed = 0;
    for (auto _ : state) {
        int64_t start = CpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        int64_t processStart = CpuNanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        context->Ops->ReadFrame(context, buffer.data(), &ok);
        int64_t processRead = CpuNanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        int64_t read = CpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        std::memcpy(copy.data(), sent.data(), sent.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        int64_t copied = CpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        driverNs += read - start;
        // Everything else the process spent meanwhile is the camera's bus thread.
        busNs += (processRead - processStart) - (read - start);
        copyNs += copied - read;
        ++frames;
        if (!ok)
            ++failed;

        // The recorder keeps every request; keep it short so it costs the same every frame.
        if (frames % 64 == 0) {
            state.PauseTiming();
            arrived.camera->ClearTransfers();
            state.ResumeTiming();
        }
    }
    if (failed)
        state.SkipWithError((std::to_string(failed) + " frames failed").c_str());
    double perFrameDriver = double(driverNs) / double(frames);
    double perFrameBus = double(busNs) / double(frames);
    double perFrameCopy = double(copyNs) / double(frames);
    state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["driver_cpu_us"] = perFrameDriver / 1000.0;
    state.counters["bus_cpu_us"] = perFrameBus / 1000.0;
    state.counters["copy_us"] = perFrameCopy / 1000.0;
    state.counters["driver/bus"] = perFrameBus > 0 ? perFrameDriver / perFrameBus : 0.0;
    state.counters["driver/copy"] = perFrameCopy > 0 ? perFrameDriver / perFrameCopy : 0.0;
    state.SetBytesProcessed(int64_t(state.iterations()) * sim::kFrameBytes);
}
BENCHMARK(ReadFrames)
    ->ArgName("synchronous_commands")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
