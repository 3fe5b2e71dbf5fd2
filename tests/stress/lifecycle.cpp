#include "tests/stress/lifecycle.h"

#include <cstring>
#include <sstream>

#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "tests/stress/camera_client.h"

namespace {

// What a step may answer on a machine that refuses allocations: success, or the refusal
// passed on. Anything else means a failure was turned into a different, misleading status.
bool Allowed(NTSTATUS status) {
    return status == STATUS_SUCCESS || status == STATUS_PENDING ||
           status == STATUS_INSUFFICIENT_RESOURCES;
}

class Script {
public:
    Script(LifecycleRun* run, const LifecycleOptions& options) : run_(run), options_(options) {}

    // Announces the next step of the life.
    void Begin(const char* name) {
        if (options_.beginStep)
            options_.beginStep(next_, name);
        ++next_;
    }
    // Begins a step, runs it, records its status; true when it succeeded.
    template <typename Call>
    bool Run(const char* name, Call call) {
        Begin(name);
        return Step(name, call());
    }

    // Records the step; true when it succeeded.
    bool Step(const std::string& name, NTSTATUS status) {
        run_->steps.push_back({name, status});
        if (!Allowed(status))
            Problem(name + " returned an unexpected status");
        return NT_SUCCESS(status);
    }
    void Problem(const std::string& what) {
        if (run_->problem.empty())
            run_->problem = what;
    }

private:
    LifecycleRun* run_;
    const LifecycleOptions& options_;
    int next_ = 0;
};

// Reads until `wanted` whole frames arrived. A read that completes empty is normal (the
// pass found no new raw frame); a read that does not complete at all while the stream runs
// is not, unless a refusal stopped the stream.
void ReadFrames(CameraClient& client, Script& script, LifecycleRun* run, int wanted,
                uint32_t waitMs) {
    int got = 0;
    for (int attempts = 0; got < wanted && attempts < wanted * 50; ++attempts) {
        NTSTATUS status;
        ClientRead* read = client.Next(waitMs, &status);
        if (!read) {
            script.Problem("a running stream delivered no frame within " + std::to_string(waitMs) +
                           " ms");
            return;
        }
        if (!NT_SUCCESS(status)) {
            script.Step("read frame", status);
            return;
        }
        if (IsFullFrame(*read, client.ImageSize()))
            ++got;
        NTSTATUS queued = client.Requeue(read);
        // The host's own bookkeeping for the read may be what is refused: try once more, as
        // an application retries a failed ReadFile.
        if (queued == STATUS_INSUFFICIENT_RESOURCES) {
            script.Step("queue frame", queued);
            queued = client.Requeue(read);
        }
        if (queued != STATUS_PENDING && !script.Step("queue frame", queued))
            return;
    }
    run->fullFrames += got;
    if (got < wanted)
        script.Problem("only " + std::to_string(got) + " whole frames in a running stream");
}

void Stream(CameraClient& client, Script& script, LifecycleRun* run,
            const LifecycleOptions& options) {
    if (!script.Run("intersection", [&] { return client.Negotiate(); }) ||
        !script.Run("pin create", [&] { return client.CreatePin(); }))
        return;
    if (script.Run("ACQUIRE", [&] { return client.SetState(KSSTATE_ACQUIRE); }) &&
        script.Run("PAUSE", [&] { return client.SetState(KSSTATE_PAUSE); })) {
        NTSTATUS queued = STATUS_PENDING;
        script.Run("queue frames", [&] { return queued = client.Queue(4); });
        if (queued == STATUS_PENDING &&
            script.Run("RUN", [&] { return client.SetState(KSSTATE_RUN); })) {
            script.Begin("frames");
            ReadFrames(client, script, run, options.frames, options.frameWaitMs);
            // Changes the capture applies to the frames already in flight.
            script.Run("set Brightness while streaming",
                       [&] { return client.Set(PropBrightness, 300); });
            script.Run("set FlipH while streaming", [&] { return client.Set(PropFlipH, 1); });
            if (script.Run("PAUSE again", [&] { return client.SetState(KSSTATE_PAUSE); }) &&
                script.Run("RUN again", [&] { return client.SetState(KSSTATE_RUN); })) {
                script.Begin("frames again");
                ReadFrames(client, script, run, 2, options.frameWaitMs);
            }
        }
        script.Run("STOP", [&] { return client.SetState(KSSTATE_STOP); });
    }
    script.Run("pin close", [&] { return client.ClosePin(); });
    if (!client.DrainReads(options.frameWaitMs))
        script.Problem("reads still queued after the pin closed");
}

}  // namespace

void StoreLifecycleSettings() {
    const struct {
        const char* name;
        LONG value;
    } stored[] = {{"Exposure", 400}, {"Brightness", 260}, {"FlipV", 1}, {"Timeout", 600}};
    for (const auto& s : stored) {
        host::RegistryValue value;
        value.name = s.name;
        value.type = REG_DWORD;
        value.data.resize(4);
        memcpy(value.data.data(), &s.value, 4);
        host::RegistrySetValue(std::string(host::kDriverKeyPath) + "\\Settings", value);
    }
}

LifecycleRun RunLifecycle(sim::Camera* camera, const LifecycleOptions& options) {
    LifecycleRun run;
    Script script(&run, options);
    PKSDEVICE device = nullptr;
    if (!script.Run("arrival", [&] { return host::AddDevice(camera->DeviceObject(), &device); }))
        return run;
    if (script.Run("start", [&] { return host::StartDevice(device); })) {
        PFILE_OBJECT filter = nullptr;
        if (script.Run("filter open",
                       [&] { return host::OpenFilter(device, "GLOBAL", &filter); })) {
            {
                CameraClient client(filter);
                LONG value = 0;
                script.Run("get Exposure", [&] { return client.Get(PropExposure, &value); });
                script.Run("set Exposure", [&] { return client.Set(PropExposure, 450); });
                script.Run("set Contrast", [&] { return client.Set(PropContrast, 12); });
                script.Run("set Roi", [&] { return client.SetRoi(8, 6, 320, 240); });
                script.Run("get Brightness", [&] { return client.Get(PropBrightness, &value); });
                Stream(client, script, &run, options);
            }
            script.Run("filter close", [&] { return host::CloseFilter(filter); });
        }
        script.Begin("stop");
        host::StopDevice(device);
    }
    script.Begin("removal");
    host::RemoveDevice(device);
    return run;
}

std::string Describe(const LifecycleRun& run) {
    std::ostringstream out;
    for (const LifecycleStep& step : run.steps) {
        char status[16];
        std::snprintf(status, sizeof(status), "0x%08X", unsigned(step.status));
        out << "  " << step.name << ": " << status << "\n";
    }
    out << "  whole frames: " << run.fullFrames << "\n";
    if (!run.problem.empty())
        out << "  problem: " << run.problem << "\n";
    return out.str();
}
