// The whole life of one camera, from arrival to removal, as the PnP manager, AVStream and an
// application drive it; the allocation-failure sweep runs it with one allocation refused.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/host/wdk.h"
#include "sim/sim_camera.h"

struct LifecycleOptions {
    int frames = 10;  // whole frames to read after the first RUN
    // Called as each step of the life begins, with the step's number (from 0, in the order
    // listed below) and name: where a sweep arms its refusal.
    std::function<void(int step, const char* name)> beginStep;
    uint32_t frameWaitMs = 3000;  // longest wait for one read: a lost stream-on costs the
                                  // stored Timeout (600 ms) before the next frame
};

struct LifecycleStep {
    std::string name;
    NTSTATUS status;
};

struct LifecycleRun {
    std::vector<LifecycleStep> steps;  // every step taken, in order, with what it returned
    int fullFrames = 0;                // whole images read
    // Set when the run went wrong in a way no returned status explains: a step whose status
    // is not one it may return, or a stream that reported success but delivered nothing.
    std::string problem;
};

// Stores settings for the device's start to load, so the start reads a populated key.
void StoreLifecycleSettings();

// Arrival, start, filter open, property gets and sets, pin with the intersected format,
// ACQUIRE, PAUSE, RUN, `frames` frames, a property change while streaming, PAUSE, RUN, STOP,
// pin close, filter close, stop, removal. After a failed step the run skips to the undo
// steps of what succeeded, as an application and the PnP manager would. The driver must be
// loaded and `camera` must outlive the run.
LifecycleRun RunLifecycle(sim::Camera* camera, const LifecycleOptions& options);

// One line per step, for failure messages.
std::string Describe(const LifecycleRun& run);
