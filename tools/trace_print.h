// The USB trace: every request that crossed to the simulated camera, as a monitor on the
// cable shows it, with the camera's packets in words and the frames' boundaries. Any command
// that drives a simulated camera prints its requests through one of these, so every trace
// reads the same.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "sim/sim_camera.h"
#include "tools/command_words.h"

namespace tool {

// What a monitor has shown so far, for a summary.
struct TraceTotals {
    uint64_t requests = 0;
    uint64_t failedRequests = 0;  // completed with a failure status
    uint64_t frameBytes = 0;      // moved by reads of the frame pipe
    int64_t lastUs = 0;           // the latest time shown, from the first request
};

class TraceMonitor {
public:
    // Lines go to standard output and are flushed one by one, so a reader at the other end
    // of a pipe sees each one when it happens. `json`: JSON lines, each with a "kind".
    TraceMonitor(sim::Camera* camera, bool json);

    // The column titles above the readable lines (nothing with JSON).
    void PrintHeader();
    // Prints every request the camera recorded since the last call, and forgets them.
    void PrintRequests();
    // A step outside the frames, such as the configuration, and how it ended.
    void PrintStep(const char* step, NTSTATUS status);
    // Frame boundaries. The start prints what came before it first; the end prints the
    // frame's requests, then the bytes its frame-pipe reads moved and the read's outcome.
    void BeginFrame(int frame);
    void EndFrame(int frame, NTSTATUS status, uint32_t frameBytes);

    const TraceTotals& Totals() const { return totals_; }
    bool Json() const { return json_; }

private:
    // Times run from the first request seen (or from the first time asked, before any).
    int64_t SinceFirstUs(int64_t steadyNs);
    int64_t NowUs();
    // Not const: replies are read beside the query before them.
    std::string TextLine(const sim::Transfer& t);
    nlohmann::ordered_json JsonLine(const sim::Transfer& t);
    void Line(const std::string& text);
    // The packet's meaning, for the command and reply pipes; empty for other requests.
    std::string Meaning(const sim::Transfer& t);

    sim::Camera* camera_;
    bool json_;
    bool haveOrigin_ = false;
    int64_t originNs_ = 0;
    ReplyReader replies_;
    TraceTotals totals_;
    int64_t frameStartUs_ = 0;
    uint64_t frameReads_ = 0;
    uint64_t frameReadBytes_ = 0;
};

}  // namespace tool
