#include "tools/stream_events.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>

namespace tool {
namespace {

[[noreturn]] void Refuse(const std::string& message) {
    throw CLI::ValidationError(message);
}

// A whole decimal number in [min, max]; `what` names it in the message.
int64_t ParseCount(const std::string& text, int64_t min, int64_t max, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text.find_first_of("+- ") != std::string::npos ||
        errno == ERANGE)
        Refuse(what + ": '" + text + "' is not a whole number");
    if (v < min || v > max)
        Refuse(what + ": " + text + " is outside [" + std::to_string(min) + " - " +
               std::to_string(max) + "]");
    return v;
}

// FRAME:REST, split at the first colon.
std::string SplitFrame(const std::string& text, const std::string& option, const char* form,
                       int64_t* frame) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        Refuse(option + " " + text + ": expected " + form);
    *frame = ParseCount(text.substr(0, colon), 1, INT64_MAX, option + " FRAME");
    return text.substr(colon + 1);
}

}  // namespace

PropsOp ParseSetOption(const std::string& assignment) {
    std::vector<PropsOp> ops = ParsePropsOps({"set", assignment});
    if (ops.size() != 1 || ops[0].kind != OpKind::Set)
        Refuse("expected one NAME=VALUE, not '" + assignment + "'");
    return ops[0];
}

TimedSet ParseSetAt(const std::string& text) {
    TimedSet set;
    set.text = SplitFrame(text, "--set-at", "FRAME:NAME=VALUE", &set.frame);
    set.op = ParseSetOption(set.text);
    return set;
}

TimedPause ParsePauseAt(const std::string& text) {
    TimedPause pause;
    std::string ms = SplitFrame(text, "--pause-at", "FRAME:MS", &pause.frame);
    pause.milliseconds = ParseCount(ms, 0, kMaxPauseMs, "--pause-at MS");
    return pause;
}

void CheckEventFrames(const std::vector<TimedSet>& sets, const std::vector<TimedPause>& pauses,
                      int64_t frames) {
    auto check = [frames](int64_t frame, const std::string& option) {
        if (frame > frames)
            Refuse(option + ": frame " + std::to_string(frame) + " comes after the last of the " +
                   std::to_string(frames) + " frames");
    };
    for (const TimedSet& s : sets)
        check(s.frame, "--set-at");
    for (const TimedPause& p : pauses)
        check(p.frame, "--pause-at");
}

}  // namespace tool
