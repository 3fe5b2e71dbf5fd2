// bayercam trace: the requests a person sees crossing to the camera while frames are read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "tests/tools/run_tool.h"

namespace {

TEST(TraceCommand, JsonShowsConfigurationThenEachFrameInOrder) {
    ToolRun run = RunTool("trace --frames 2 --unpaced --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<nlohmann::json> lines = JsonLines(run.out);

    std::vector<std::string> functions;
    std::vector<int> chunkLengths;
    std::vector<std::string> commands;
    uint64_t sequence = 0;
    for (const nlohmann::json& line : lines) {
        if (!line.contains("sequence"))
            continue;
        EXPECT_GT(line["sequence"].get<uint64_t>(), sequence) << "requests in order";
        sequence = line["sequence"];
        functions.push_back(line["function"]);
        if (line["pipe"] == 2)
            chunkLengths.push_back(line["asked"]);
        if (line["pipe"] == 0) {
            std::string bytes = line["bytes"];
            EXPECT_EQ(bytes.size(), 64u * 3 - 1) << "every packet is 64 bytes";
            commands.push_back(bytes.substr(0, 2));
        }
    }
    ASSERT_GE(functions.size(), 4u);
    EXPECT_EQ(functions[0], "GET_DESCRIPTOR_FROM_DEVICE");
    EXPECT_EQ(functions[3], "SELECT_CONFIGURATION");
    EXPECT_EQ(chunkLengths, (std::vector<int>{65536, 65536, 65536, 65536, 63488, 65536, 65536,
                                              65536, 65536, 63488}));
    EXPECT_EQ(commands, (std::vector<std::string>{"02", "02", "03", "02", "02", "03"}));
    EXPECT_EQ(lines.back()["read"], 2);
}

TEST(TraceCommand, TextFoldsPaddingAndShowsAFault) {
    ToolRun run = RunTool("trace --fault no-frame --timeout 20");
    EXPECT_EQ(run.exitCode, 1) << "no frame was read";
    EXPECT_NE(run.err.find("0 of 1 frames read"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("02 +63 zeros"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("CANCELLED"), std::string::npos) << "the timed-out reads" << run.out;
    EXPECT_NE(run.out.find("-- frame 1: TIMEOUT"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("-- 0 of 1 frames read"), std::string::npos) << run.out;
}

struct Outcome {
    const char* arguments;
    int status;
    const char* says;  // on standard error; empty when nothing is
};

TEST(TraceCommand, ExitStatusSaysWhetherTheFramesWereRead) {
    const Outcome cases[] = {
        {"trace --unpaced --frames 2", 0, ""},
        // A short chunk before the last misplaces the rest of the frame: no frame is read.
        {"trace --unpaced --frames 2 --fault short-transfer --timeout 20", 1, "0 of 2 frames"},
        {"trace --unpaced --frames 3 --fault chunk-error:1", 1, "2 of 3 frames read"},
        {"trace --unpaced --frames 3 --fault chunk-error@0", 0, ""},
        {"trace --unpaced --frames 2 --fault stalled-pipe --timeout 20", 1, "1 of 2 frames read"},
        {"trace --unpaced --fault device-descriptor-error --timeout 20", 1,
         "configuring the camera failed: UNSUCCESSFUL"},
        {"trace --unpaced --fault port-disconnected --json --timeout 20", 1,
         "configuring the camera failed: DEVICE_NOT_CONNECTED"},
    };
    for (const Outcome& o : cases) {
        ToolRun run = RunTool(o.arguments);
        EXPECT_EQ(run.exitCode, o.status) << o.arguments << "\n" << run.err;
        EXPECT_NE(run.out.find("frames"), std::string::npos) << "the trace is printed anyway";
        if (*o.says) {
            EXPECT_NE(run.err.find(o.says), std::string::npos) << o.arguments << ": " << run.err;
        } else {
            EXPECT_EQ(run.err, "") << o.arguments;
        }
    }
}

TEST(TraceCommand, JsonStatusesAreHexWithTheirNames) {
    ToolRun run = RunTool("trace --fault no-frame --timeout 20 --json");
    EXPECT_EQ(run.exitCode, 1);
    std::vector<nlohmann::json> lines = JsonLines(run.out);
    bool sawTimeout = false;
    for (const nlohmann::json& line : lines) {
        if (!line.contains("status"))
            continue;
        std::string status = line["status"];
        EXPECT_EQ(status.size(), 10u) << line;
        EXPECT_EQ(status.rfind("0x", 0), 0u) << line;
        if (line.value("frame", 0) == 1) {
            EXPECT_EQ(status, "0x00000102") << line;
            EXPECT_EQ(line["statusName"], "TIMEOUT") << line;
            sawTimeout = true;
        }
        if (line.contains("usbdStatus")) {
            EXPECT_EQ(line["usbdStatus"].get<std::string>().size(), 10u) << line;
        }
    }
    EXPECT_TRUE(sawTimeout) << run.out;
}

TEST(TraceCommand, UnknownFaultListsTheNames) {
    ToolRun run = RunTool("trace --fault gremlins");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("chunk-refused"), std::string::npos) << run.err;
    EXPECT_EQ(RunTool("trace --frames 0").exitCode, 2);
}

}  // namespace
