// What the tests of `bayercam view` share: the view started as a user starts it, on a port of
// its own and with a hive of its own, a client for its API, and its JPEG frames decoded.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/tools/run_tool.h"

class ViewProcess {
public:
    // `bayercam view --port 0 --json --registry HIVE EXTRA`; Port() is 0 when it never said
    // where it serves (Tool().Err() tells why).
    ViewProcess(const std::string& hive, const std::string& extra = "");
    int Port() const { return port_; }
    RunningTool& Tool() { return *tool_; }
    httplib::Client& Client() { return *client_; }

    // GET /api/props, as a map from each control's name to its state.
    std::map<std::string, nlohmann::json> Controls();
    // POST /api/props/NAME value=VALUE: the HTTP status, with the body in *body.
    int Set(const std::string& name, const std::string& value, std::string* body = nullptr);
    // The "frames" count of /api/status.
    int64_t Frames();
    // Waits until `count` more frames have been delivered than now; false after 10 s.
    bool WaitFrames(int64_t count);

private:
    std::unique_ptr<RunningTool> tool_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

struct GreyPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // top row first

    double Mean() const;
    // Mean of each column, left to right, less the mean of the whole picture.
    std::vector<double> ColumnProfile() const;
};

// False when `jpeg` is not a JPEG picture.
bool DecodeJpeg(const std::string& jpeg, GreyPicture* picture);
