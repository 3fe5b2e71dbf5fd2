// bayercam props and formats, run as a user runs them, against a hive file of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/run_tool.h"

namespace {

class PropsCommand : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/bayercam-props-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        hive_ = dir_ + "/system.hiv";
    }
    void TearDown() override {
        std::remove(hive_.c_str());
        rmdir(dir_.c_str());
    }

    ToolRun Props(const std::string& args) {
        return RunTool("props --registry " + hive_ + " " + args);
    }

    std::string dir_;
    std::string hive_;
};

TEST_F(PropsCommand, SettingsPersistInTheHiveBetweenRuns) {
    ToolRun set = Props("set Exposure=100 Brightness=300");
    ASSERT_EQ(set.exitCode, 0) << set.err;
    ToolRun get = Props("--json get Exposure brightness 20");
    ASSERT_EQ(get.exitCode, 0) << get.err;
    std::vector<nlohmann::json> lines = JsonLines(get.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["value"], 100);
    EXPECT_EQ(lines[1]["name"], "Brightness");
    EXPECT_EQ(lines[1]["value"], 300);
    EXPECT_EQ(lines[2]["id"], 20);
    EXPECT_EQ(lines[0]["status"], "0x00000000");

    if (access("/usr/bin/hivexregedit", X_OK) != 0)
        GTEST_SKIP() << "hivexregedit is not installed";
    FILE* pipe = popen(("hivexregedit --export " + hive_ + " '\\' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string exported;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        exported.append(buffer, n);
    pclose(pipe);
    std::string key = "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000\\Settings]";
    size_t at = exported.find(key);
    ASSERT_NE(at, std::string::npos) << exported;
    size_t dwords = 0;
    for (size_t p = exported.find("=dword:", at); p != std::string::npos;
         p = exported.find("=dword:", p + 1))
        ++dwords;
    EXPECT_EQ(dwords, 24u);
    EXPECT_NE(exported.find("\"Exposure\"=dword:00000064"), std::string::npos);
}

TEST_F(PropsCommand, ListShowsEveryItemWithItsDirections) {
    ToolRun run = Props("--json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<nlohmann::json> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 69u);
    EXPECT_EQ(lines[44]["name"], "Roi");
    EXPECT_EQ(lines[44]["get"], false);
    EXPECT_EQ(lines[44]["size"], 48);
    EXPECT_EQ(lines[9]["value"], 310);
    EXPECT_EQ(lines[67]["set"], true);
    ToolRun text = Props("list");
    EXPECT_NE(text.out.find("Exposure           get/set   32  2         min=2 max=524 default=2"),
              std::string::npos)
        << text.out;
}

TEST_F(PropsCommand, SpecialRecordsAndTheirPackets) {
    ToolRun run = Props(
        "--json --trace set Exposure=200 Roi=5,0,100,50 RawCommand=0a0b/1 "
        "ReadByte=0x10 get ReadByte");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<nlohmann::json> lines = JsonLines(run.out);
    bool exposureWrite = false, rawCommand = false;
    int ops = 0;
    for (const nlohmann::json& line : lines) {
        if (line.contains("bytes") && line.contains("pipe") && line["pipe"] == 0) {
            std::string bytes = line["bytes"];
            exposureWrite = exposureWrite || bytes.rfind("04 20 00 9a 00 c8", 0) == 0;
            rawCommand = rawCommand || bytes.rfind("40 0a 00", 0) == 0;
        }
        if (!line.contains("op"))
            continue;
        ++ops;
        if (line["name"] == "Roi") {
            EXPECT_EQ(line["x"], 5);
            EXPECT_EQ(line["height"], 50);
        }
        if (line["op"] == "get") {
            EXPECT_TRUE(line.contains("byte"));
        }
    }
    EXPECT_EQ(ops, 5);
    EXPECT_TRUE(exposureWrite) << "the sensor register write of the exposure";
    EXPECT_TRUE(rawCommand) << "Length 1 carries one of the two bytes";
}

TEST_F(PropsCommand, MistakesAndFailures) {
    const struct {
        std::string args;
        int exitCode;
        const char* message;
    } cases[] = {
        {"get Nope", 2, "no property 'Nope'"},
        {"set Exposure", 2, "NAME=VALUE"},
        {"set Exposure=ten", 2, "'ten' is not a whole number"},
        {"set Exposure=4294967296", 2, "does not fit in 32 bits"},
        {"set Roi=1,2,3", 2, "X,Y,W,H"},
        {"set RawCommand=abc", 2, "pairs of hex digits"},
        {"get", 2, "needs at least one NAME"},
        {"frob", 2, "not an operation"},
        {"--fault gremlins", 2, "chunk-refused"},
        {"--fault device-descriptor-error get Exposure", 1, "did not start"},
        {"get SensorRegister", 1, ""},
    };
    for (const auto& c : cases) {
        ToolRun run = Props(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
}

TEST_F(PropsCommand, AFileThatIsNotAHiveIsLeftAsItWas) {
    {
        std::ofstream garbage(hive_);
        garbage << "not a hive";
    }
    ToolRun run = Props("set Exposure=100");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("not a Windows registry hive"), std::string::npos) << run.err;
    std::ifstream in(hive_);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "not a hive");
    ToolRun directory = RunTool("props --registry " + dir_ + " list");
    EXPECT_EQ(directory.exitCode, 1) << directory.err;
}

TEST_F(PropsCommand, FormatsFollowTheRegionOfInterest) {
    ToolRun run = RunTool("formats --json --registry " + hive_ + " --roi 0,0,645,100");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<nlohmann::json> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "range");
    EXPECT_EQ(lines[0]["width"], 640);
    EXPECT_EQ(lines[1]["event"], "format");
    EXPECT_EQ(lines[1]["size"], 152);
    EXPECT_EQ(lines[1]["imageSize"], 256000);
    ToolRun text = RunTool("formats --registry " + hive_ + " --roi 0,0,0,0");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("656 x 494, 32 bits, 1296256 bytes"), std::string::npos) << text.out;
}

}  // namespace
