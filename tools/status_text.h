// How the commands write an NTSTATUS: by name in readable tables, as hexadecimal in JSON, so
// a person reads "TIMEOUT" and a script compares exact values.
#pragma once

#include <string>

#include "platform/host/wdk.h"

namespace tool {

// The status's name without its STATUS_ prefix ("TIMEOUT"), or null when it has none here.
const char* StatusName(NTSTATUS status);

// Always "0x%08X" ("0x00000102"), named or not.
std::string StatusHex(NTSTATUS status);

// The name when there is one, else the hexadecimal.
std::string StatusText(NTSTATUS status);

}  // namespace tool
