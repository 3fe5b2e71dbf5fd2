// The USB trace: one line per request that crossed to the simulated camera, as a monitor on
// the cable shows it. Any command that drives a simulated camera prints its requests with
// these, so every trace reads the same.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "sim/sim_camera.h"

namespace tool {

// The column titles above the readable lines.
std::string TransferHeader();

// One request as a readable line, without the newline: sequence, request, pipe, direction,
// bytes asked and moved, status, and for the command pipes and descriptors the bytes, with a
// padded packet's trailing zeros folded ("02 +63 zeros").
std::string TransferText(const sim::Transfer& t);

// One request as a JSON object; "status" is "0x%08X" with "statusName" beside it.
nlohmann::ordered_json TransferJson(const sim::Transfer& t);

// Prints every request the camera recorded since the last call, as readable lines or JSON
// lines, and forgets them, so the next call shows only what a later step caused.
void PrintTransfers(sim::Camera* camera, bool json);

}  // namespace tool
