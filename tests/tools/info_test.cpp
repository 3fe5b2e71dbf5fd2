// bayercam info: what a person sees of a freshly arrived camera.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/tools/run_tool.h"

namespace {

TEST(InfoCommand, JsonShowsDefaultsAndTheAdvertisedFormat) {
    ToolRun run = RunTool("info --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto info = nlohmann::json::parse(run.out);
    EXPECT_EQ(info["settings"]["Timeout"], 3000);
    EXPECT_EQ(info["settings"]["Brightness"], 255);
    EXPECT_EQ(info["output"]["width"], 656);
    EXPECT_EQ(info["dataRange"]["SampleSize"], 1296256);
    EXPECT_EQ(info["dataRange"]["SubFormat"], "E436EB7E-524F-11CE-9F53-0020AF0BA770");
    EXPECT_EQ(info["dataRange"]["VideoInfoHeader"]["AvgTimePerFrame"], 333333);
}

TEST(InfoCommand, RegionIsAppliedBeforeShowing) {
    ToolRun run = RunTool("info --roi 5,0,645,100 --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto info = nlohmann::json::parse(run.out);
    EXPECT_EQ(info["regionOfInterest"]["RoiX"], 6);
    EXPECT_EQ(info["output"]["width"], 640);
    EXPECT_EQ(info["output"]["height"], 100);
    EXPECT_EQ(info["dataRange"]["VideoInfoHeader"]["biSizeImage"], 256000);
    EXPECT_EQ(info["dataRange"]["ConfigCaps"]["MaxBitsPerSecond"], 61440000);
}

TEST(InfoCommand, TextNamesTheFormat) {
    ToolRun run = RunTool("info");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("656 x 494, 32 bits, bottom-up rows"), std::string::npos) << run.out;
}

TEST(InfoCommand, MalformedOptionsAreRefusedClearly) {
    for (const char* bad : {"info --roi 1,2", "info --roi a,b,c,d", "info --roi 1,2,3,99999999999",
                            "info --frobnicate", "info --roi"}) {
        ToolRun run = RunTool(bad);
        EXPECT_EQ(run.exitCode, 2) << bad;
        EXPECT_NE(run.err.find("bayercam info:"), std::string::npos) << bad << ": " << run.err;
    }
}

}  // namespace
