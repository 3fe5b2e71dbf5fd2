// Runs the built bayercam program and captures what it prints.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct ToolRun {
    int exitCode = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// `arguments` is appended to the program path as a shell command line.
ToolRun RunTool(const std::string& arguments);

// Each line of a --json run's output, parsed.
std::vector<nlohmann::json> JsonLines(const std::string& out);
