#include "tools/json_lines.h"

#include <cstdio>

#include "tools/status_text.h"

namespace tool {

void PrintJsonLine(const nlohmann::ordered_json& object) {
    std::printf("%s\n", object.dump().c_str());
    // A reader following the output line by line sees each event when it happens, even
    // through a pipe.
    std::fflush(stdout);
}

void SetStatus(nlohmann::ordered_json& object, const std::string& key, NTSTATUS status) {
    object[key] = StatusHex(status);
    if (const char* name = StatusName(status))
        object[key + "Name"] = name;
}

}  // namespace tool
