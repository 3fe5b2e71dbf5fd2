#include "tools/cli_checks.h"

#include "sim/sim_camera.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace tool {
namespace {

// Parses the whole of `text` as strtoll does with base 0; false, with the reason, when it is
// not a whole number or does not fit 64 bits.
bool ParseWhole(const std::string& text, long long* value, std::string* reason) {
    errno = 0;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') {
        *reason = "'" + text + "' is not a whole number";
        return false;
    }
    if (errno == ERANGE) {
        *reason = text + " is far outside any range";
        return false;
    }
    return true;
}

std::string Interval(long long min, long long max) {
    return "[" + std::to_string(min) + " - " + std::to_string(max) + "]";
}

}  // namespace

CLI::Validator IntRange(long long min, long long max) {
    return CLI::Validator(
        [min, max](std::string& text) {
            long long value;
            std::string reason;
            if (!ParseWhole(text, &value, &reason))
                return reason;
            if (value < min || value > max)
                return text + " is outside " + Interval(min, max);
            return std::string();
        },
        "in " + Interval(min, max));
}

CLI::Validator ClampedInt(int32_t low, int32_t high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            long long value;
            std::string reason;
            if (!ParseWhole(text, &value, &reason))
                return reason;
            if (value < INT32_MIN || value > INT32_MAX)
                return text + " does not fit 32 bits";
            if (value < low)
                text = std::to_string(low);
            else if (value > high)
                text = std::to_string(high);
            return std::string();
        },
        "clamped to " + Interval(low, high));
}

std::vector<std::string> FaultNames() {
    std::vector<std::string> names;
    for (int i = 0; i < sim::kFaultCount; ++i)
        names.push_back(sim::FaultName(sim::Fault(i)));
    return names;
}

CLI::Option* AddFaultOption(CLI::App& command, std::vector<std::string>* faults) {
    std::string names;
    for (const std::string& name : FaultNames())
        names += (names.empty() ? "" : ", ") + name;
    CLI::Validator check(
        [names](std::string& text) {
            sim::FaultSetting setting;
            std::string error;
            if (sim::ParseFaultSetting(text, &setting, &error))
                return std::string();
            return error + " (faults: " + names + ")";
        },
        "");
    return command
        .add_option("--fault", *faults,
                    "make the camera misbehave in this way (repeatable): NAME for good, "
                    "NAME:FRAMES for the next FRAMES frames (queries for the reply faults, "
                    "packets for short-send), NAME@PROBABILITY for each at random (seeded, so "
                    "a run repeats). Faults: " +
                        names)
        ->check(check)
        ->allow_extra_args(false)
        ->type_name("NAME[:FRAMES|@PROBABILITY]");
}

std::vector<sim::FaultSetting> FaultSettings(const std::vector<std::string>& texts) {
    std::vector<sim::FaultSetting> specs;
    for (const std::string& text : texts) {
        sim::FaultSetting setting;
        std::string error;
        if (sim::ParseFaultSetting(text, &setting, &error))
            specs.push_back(setting);
    }
    return specs;
}

CLI::Option* AddRoiOption(CLI::App& command, std::vector<int>* roi, const std::string& what) {
    return command.add_option("--roi", *roi, what)
        ->delimiter(',')
        ->expected(4)
        ->allow_extra_args(false)
        ->check(IntRange(INT32_MIN, INT32_MAX))
        ->type_name("INT");
}

}  // namespace tool
