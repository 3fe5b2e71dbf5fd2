// bayercam trace: the requests a person sees crossing to the camera while frames are read.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "tests/tools/run_tool.h"

namespace {

TEST(TraceCommand, JsonShowsConfigurationThenEachFrameInOrder) {
    ToolRun run = RunTool("trace --frames 2 --unpaced --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<nlohmann::json> lines = JsonLines(run.out);

    std::vector<std::string> kinds;
    std::vector<std::string> functions;
    std::vector<int> chunkLengths;
    std::vector<std::string> frameCommands;  // the commands sent between a frame's boundaries
    std::set<std::string> endpoints;
    uint64_t sequence = 0;
    int64_t time = 0;
    bool inFrame = false;
    for (const nlohmann::json& line : lines) {
        ASSERT_TRUE(line.contains("kind")) << line;
        const std::string kind = line["kind"];
        if (kinds.empty() || kinds.back() != kind)
            kinds.push_back(kind);
        inFrame = kind == "frameStart" || (inFrame && kind == "request");
        if (kind == "frameEnd") {
            EXPECT_EQ(line["outcome"], "read") << line;
            EXPECT_EQ(line["bytes"], 325632) << line;
            EXPECT_EQ(line["reads"], 5) << line;
        }
        if (kind != "request")
            continue;
        EXPECT_GT(line["sequence"].get<uint64_t>(), sequence) << "requests in order";
        sequence = line["sequence"];
        EXPECT_GE(line["timeUs"].get<int64_t>(), time) << "times from the first request" << line;
        time = line["timeUs"];
        if (line.contains("completedUs")) {
            EXPECT_GE(line["completedUs"].get<int64_t>(), time) << line;
        }
        functions.push_back(line["function"]);
        if (line["pipe"] != -1)
            endpoints.insert(std::to_string(line["pipe"].get<int>()) + " " +
                             line["endpoint"].get<std::string>());
        if (line["pipe"] == 2)
            chunkLengths.push_back(line["asked"]);
        if (line["pipe"] == 0) {
            std::string bytes = line["bytes"];
            EXPECT_EQ(bytes.size(), 64u * 3 - 1) << "every packet is 64 bytes";
            if (inFrame)
                frameCommands.push_back(line["meaning"]);
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"request", "step", "request", "step", "frameStart",
                                               "request", "frameEnd", "frameStart", "request",
                                               "frameEnd", "summary"}));
    ASSERT_GE(functions.size(), 4u);
    EXPECT_EQ(functions[0], "GET_DESCRIPTOR_FROM_DEVICE");
    EXPECT_EQ(functions[3], "SELECT_CONFIGURATION");
    EXPECT_EQ(endpoints, (std::set<std::string>{"0 0x01", "2 0x86"}));
    EXPECT_EQ(chunkLengths, (std::vector<int>{65536, 65536, 65536, 65536, 63488, 65536, 65536,
                                              65536, 65536, 63488}));
    const std::string off = "0x02 stream off", on = "0x03 stream on";
    EXPECT_EQ(frameCommands, (std::vector<std::string>{off, off, on, off, off, on}));
    EXPECT_EQ(lines.back()["read"], 2);
    EXPECT_EQ(lines.back()["frameBytes"], 2 * 325632);
    EXPECT_EQ(lines.back()["interrupted"], false);
}

// The start-up's writes and a property's query with its two replies, as the trace words them.
TEST(TraceCommand, PacketsAreShownInWords) {
    ToolRun trace = RunTool("trace --unpaced");
    ASSERT_EQ(trace.exitCode, 0) << trace.err;
    char hive[] = "/tmp/bayercam-trace-XXXXXX";
    ASSERT_NE(mkdtemp(hive), nullptr);
    ToolRun props = RunTool("props --registry " + std::string(hive) +
                            "/system.hiv --trace set Exposure=300 get Clock ExTrigger");
    std::system(("rm -rf " + std::string(hive)).c_str());
    ASSERT_EQ(props.exitCode, 0) << props.err;
    const char* const said[] = {
        "0 (0x01)   out     64     64  SUCCESS",
        "0x25 write control register 1 = 248  [25 01 f8 +61 zeros]",
        "0x0A start-up  [0a 01 +62 zeros]",
        "0x04 write sensor register 0x9A (exposure) = 2  [04 20 00 9a 00 02 +58 zeros]",
        "== frame 1 read (SUCCESS): 325632 of 325632 bytes in 5 reads",
        "0x04 write sensor register 0x9A (exposure) = 300  [04 20 00 9a 01 2c +58 zeros]",
        "0x26 read control register 15 (clock selection)  [26 0f +62 zeros]",
        ("1 (0x82)   in      64     64  SUCCESS             acknowledges 0x26 read control "
         "register 15 (clock selection)"),
        "control register 15 (clock selection) = 3  [03 +63 zeros]",
        "0x29 query trigger status  [29 +63 zeros]",
        "trigger status 0x00: external trigger off",
    };
    const std::string out = trace.out + props.out;
    for (const char* words : said)
        EXPECT_NE(out.find(words), std::string::npos) << words << "\n" << out;
}

TEST(TraceCommand, AFailedFrameIsShownAsFailed) {
    ToolRun run = RunTool("trace --unpaced --frames 2 --fault chunk-error:1 --json");
    EXPECT_EQ(run.exitCode, 1);
    std::vector<nlohmann::json> ends;
    for (const nlohmann::json& line : JsonLines(run.out)) {
        if (line["kind"] == "frameEnd")
            ends.push_back(line);
    }
    ASSERT_EQ(ends.size(), 2u) << run.out;
    EXPECT_EQ(ends[0]["outcome"], "failed");
    EXPECT_EQ(ends[0]["statusName"], "UNSUCCESSFUL");
    EXPECT_EQ(ends[0]["bytes"], 2 * 65536) << "the chunks before the faulty one arrived";
    EXPECT_EQ(ends[1]["outcome"], "read") << "the next frame reads again";
    EXPECT_EQ(ends[1]["bytes"], 325632);
}

TEST(TraceCommand, TextFoldsPaddingAndShowsAFault) {
    ToolRun run = RunTool("trace --fault no-frame --timeout 20");
    EXPECT_EQ(run.exitCode, 1) << "no frame was read";
    EXPECT_NE(run.err.find("0 of 1 frames read"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("02 +63 zeros"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("CANCELLED"), std::string::npos) << "the timed-out reads" << run.out;
    EXPECT_NE(run.out.find("== frame 1 FAILED (TIMEOUT): 0 of 325632 bytes"), std::string::npos)
        << run.out;
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

// The tool with its standard output on a pipe, as `bayercam trace | grep ...` runs it, read
// line by line as the lines come.
class PipedTool {
public:
    explicit PipedTool(std::vector<std::string> arguments) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        arguments.insert(arguments.begin(), BAYERCAM_TOOL);
        std::vector<char*> argv;
        for (std::string& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~PipedTool() {
        if (fd_ >= 0)
            close(fd_);
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Lines up to and including the first that holds `text`; false at the end of the output
    // or after 60 s.
    bool ReadUpTo(const std::string& text, std::string* line) {
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                *line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                if (line->find(text) != std::string::npos)
                    return true;
                continue;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0)
                return false;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof(chunk));
            if (n <= 0)
                return false;
            buffered_.append(chunk, size_t(n));
        }
    }
    void Interrupt() { kill(pid_, SIGINT); }
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return status;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool waited_ = false;
    std::string buffered_;
};

// Each line reaches a pipe when it happens, not when a buffer fills; Ctrl-C lets the frame in
// hand end, prints the summary, and ends the run as interrupted.
TEST(TraceCommand, APipeSeesEachLineAsItHappensAndCtrlCSumsUp) {
    PipedTool tool({"trace", "--fault", "no-frame", "--timeout", "1500", "--frames", "1000"});
    std::string line;
    ASSERT_TRUE(tool.ReadUpTo("== frame 1", &line));
    const auto frameStarted = std::chrono::steady_clock::now();
    tool.Interrupt();
    ASSERT_TRUE(tool.ReadUpTo("== frame 1 FAILED (TIMEOUT)", &line));
    EXPECT_GE(std::chrono::steady_clock::now() - frameStarted, std::chrono::milliseconds(1200))
        << "the frame's start arrived while its read was still waiting";
    ASSERT_TRUE(tool.ReadUpTo("-- ", &line));
    EXPECT_EQ(line.rfind("-- interrupted: 0 of 1000 frames read (1 failed)", 0), 0u) << line;
    EXPECT_FALSE(tool.ReadUpTo("", &line)) << "nothing after the summary: " << line;
    const int status = tool.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

}  // namespace
