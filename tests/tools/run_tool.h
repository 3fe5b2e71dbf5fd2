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

// A bayercam that keeps running until it is stopped (`bayercam view`): its standard output
// read line by line as it comes, then a signal to stop it. Killed if still running when the
// test lets go of it.
class RunningTool {
public:
    explicit RunningTool(const std::string& arguments);
    ~RunningTool();
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;

    // The next line of standard output; false at its end or after `milliseconds`.
    bool ReadLine(int milliseconds, std::string* line);
    // Sends `signal` (0: none, only waits) and waits up to `milliseconds` for the exit. The
    // exit status, or -1 when it did not end by then (it is killed) or ended by a signal;
    // what it printed meanwhile is in `out`.
    int Stop(int signal, int milliseconds);
    std::string out;          // standard output read by Stop, after the lines ReadLine took
    std::string Err() const;  // standard error so far

private:
    int pid_ = -1;
    int stdout_ = -1;
    std::string buffered_;
    std::string errPath_;
};

// Each line of a --json run's output, parsed.
std::vector<nlohmann::json> JsonLines(const std::string& out);
