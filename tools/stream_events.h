// What `bayercam stream` does to a running stream, and when: property sets at a frame
// (--set-at FRAME:NAME=VALUE) and pauses (--pause-at FRAME:MS), plus the plain --set NAME=VALUE
// made before the pin exists. NAME=VALUE is the syntax of `bayercam props set`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/props_ops.h"

namespace tool {

struct TimedSet {
    int64_t frame = 0;  // after this many frames were received
    PropsOp op;
    std::string text;  // NAME=VALUE as given, for messages
};

struct TimedPause {
    int64_t frame = 0;
    int64_t milliseconds = 0;
};

// Each throws CLI::ValidationError with the reason when the text is malformed.
PropsOp ParseSetOption(const std::string& assignment);
TimedSet ParseSetAt(const std::string& text);
TimedPause ParsePauseAt(const std::string& text);

// Refuses (CLI::ValidationError) an event at a frame after the last of `frames`: it would
// never happen, which is surely not what was meant.
void CheckEventFrames(const std::vector<TimedSet>& sets, const std::vector<TimedPause>& pauses,
                      int64_t frames);

// The longest pause --pause-at takes, in milliseconds.
constexpr int64_t kMaxPauseMs = 600000;

}  // namespace tool
