// --json output: one JSON object per line, one line per event, so a script can read the
// events as they come and a line that is cut short spoils only itself.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/host/wdk.h"

namespace tool {

// Writes `object` on one line of standard output.
void PrintJsonLine(const nlohmann::ordered_json& object);

// Sets `key` to the status as "0x%08X" and, when the status has a name, `key` + "Name" to it
// ("status": "0x00000102", "statusName": "TIMEOUT").
void SetStatus(nlohmann::ordered_json& object, const std::string& key, NTSTATUS status);

}  // namespace tool
