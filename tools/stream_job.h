// `bayercam stream` once its command line made sense: an application's capture run against a
// simulated camera, from device arrival to device stop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_camera.h"
#include "tools/props_ops.h"
#include "tools/stream_events.h"

namespace tool {

struct StreamRequest {
    int64_t frames = 90;
    double seconds = 10;
    int buffers = 2;
    bool clock = true;
    bool paced = true;
    bool json = false;
    std::string registry;
    std::string pngDir;   // empty: no PNGs
    std::string rawDir;   // empty: no raws
    std::string contact;  // empty: no contact sheet
    std::vector<sim::FaultSetting> faults;
    int64_t unplugAt = 0;       // unplug the camera once this many frames arrived; 0: never
    std::vector<PropsOp> sets;  // before the pin is created, in order
    bool roi = false;
    LONG roiRect[4] = {};
    std::vector<TimedSet> setsAt;
    std::vector<TimedPause> pauses;
};

// The exit status: kExitSuccess when every frame asked for arrived and every request and file
// succeeded, kExitFailure otherwise (with the reason on standard error).
int RunStream(const StreamRequest& request);

}  // namespace tool
