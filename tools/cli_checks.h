// Checks for numeric options. CLI11's own Range and Bound answer "not in range" for text that
// is not a number at all; these say which of the two is wrong, so the person knows what to fix.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "sim/sim_camera.h"

namespace tool {

// A whole number (decimal, or 0x hexadecimal) within [min, max]; help shows "in [min - max]".
CLI::Validator IntRange(long long min, long long max);

// Any 32-bit whole number, moved into [low, high] when outside it, as the driver's property
// set clamps a setting; help shows "clamped to [low - high]".
CLI::Validator ClampedInt(int32_t low, int32_t high);

// The simulated camera's fault names, for --fault's choices.
std::vector<std::string> FaultNames();

// --fault NAME[:FRAMES|@PROBABILITY] (sim::ParseFaultSetting), repeatable, on `command`.
CLI::Option* AddFaultOption(CLI::App& command, std::vector<std::string>* faults);
// The faults of checked --fault values.
std::vector<sim::FaultSetting> FaultSettings(const std::vector<std::string>& texts);

// --roi X,Y,W,H: exactly four 32-bit numbers in one argument, so a stray word after it is
// reported as such; the driver fits the region to the sensor itself.
CLI::Option* AddRoiOption(CLI::App& command, std::vector<int>* roi, const std::string& what);

}  // namespace tool
