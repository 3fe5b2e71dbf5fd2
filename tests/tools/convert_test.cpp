// bayercam convert: the files a person gives it, right and wrong.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <zlib.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/tools/run_tool.h"

namespace {

class ConvertFiles : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bayercam-convert-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/text.png") << "not a picture, but long enough to be read\n";
        std::ofstream(dir_ + "/short.raw") << "0123456789";
        ASSERT_EQ(RunTool("convert --synthetic chart " + dir_ + "/chart.png").exitCode, 0);
        ASSERT_EQ(RunTool("convert --synthetic chart " + dir_ + "/frame.bgra").exitCode, 0);
        WriteHugePngHeader(dir_ + "/huge.png");
    }

    // A PNG whose header claims 20000 x 20000 pixels, as a small file: the chart's, with its
    // size changed in the header and the header's checksum made to match.
    void WriteHugePngHeader(const std::string& path) {
        std::ifstream in(dir_ + "/chart.png", std::ios::binary);
        std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(png.size(), 33u);
        const uint32_t side = 20000;
        for (int i = 0; i < 4; ++i) {
            png[16 + i] = char(side >> (24 - 8 * i));  // width, high byte first
            png[20 + i] = char(side >> (24 - 8 * i));  // height
        }
        uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17);
        for (int i = 0; i < 4; ++i)
            png[29 + i] = char(crc >> (24 - 8 * i));
        std::ofstream(path, std::ios::binary) << png;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string dir_;
};

struct FileFault {
    std::string arguments;  // "@" stands for the test's folder, here and in `says`
    int status;
    std::string says;
};

void PutFolder(const std::string& dir, std::string* text) {
    for (size_t at; (at = text->find('@')) != std::string::npos;)
        text->replace(at, 1, dir);
}

TEST_F(ConvertFiles, AFileThatCannotBeUsedIsNamedWithTheReason) {
    std::system(("mkdir -p " + dir_ + "/dir.png " + dir_ + "/dir.bgra").c_str());
    const FileFault cases[] = {
        {"convert @ @/out.png", 1, "@: is a directory"},
        {"convert @/dir.png @/out.png", 1, "@/dir.png: is a directory"},
        {"convert @/missing.raw @/out.png", 1, "@/missing.raw: No such file"},
        {"convert @/short.raw @/out.png", 1, "holds 10 bytes"},
        {"convert --synthetic @/missing.png @/out.png", 1, "@/missing.png: No such file"},
        {"convert --synthetic @/dir.png @/out.png", 1, "@/dir.png: is a directory"},
        {"convert --synthetic @/text.png @/out.png", 1, "@/text.png: not a PNG picture"},
        {"convert --synthetic @/frame.bgra @/out.png", 1, "unknown scene"},
        {"convert --synthetic @/huge.png @/out.png", 1,
         "@/huge.png: the picture is 20000 x 20000; a scene is at most 8192 x 8192"},
        {"convert --synthetic chart @/dir.png", 1, "@/dir.png: is a directory"},
        {"convert --synthetic chart @/dir.bgra", 1, "@/dir.bgra: is a directory"},
        {"convert --synthetic chart @/chart.png/x.png", 1, "@/chart.png is not a folder"},
        {"convert --synthetic chart @/no/such/out.png", 1, "no folder @/no/such"},
        {"convert @/frame.bgra @/no/out.bgra", 1, "no folder @/no"},
        {"convert --synthetic chart @", 2, "must end in .png or .bgra"},
    };
    for (FileFault f : cases) {
        PutFolder(dir_, &f.arguments);
        PutFolder(dir_, &f.says);
        ToolRun run = RunTool(f.arguments);
        EXPECT_EQ(run.exitCode, f.status) << f.arguments << "\n" << run.err;
        EXPECT_NE(run.err.find(f.says), std::string::npos) << f.arguments << ": " << run.err;
        EXPECT_EQ(run.out, "") << f.arguments;
    }
    std::ifstream out(dir_ + "/out.png");
    EXPECT_FALSE(out.good()) << "no failed run leaves an output behind";
}

// The checks refuse only what is wrong: a raw file of any name and a real PNG picture pass.
TEST_F(ConvertFiles, UsableFilesOfEachKindAreAccepted) {
    // frame.bgra is 656 x 494 x 4 bytes: as raw input, exactly a 1312 x 988 frame.
    ToolRun raw =
        RunTool("convert --width 1312 --height 988 " + dir_ + "/frame.bgra " + dir_ + "/again.png");
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    ToolRun scene = RunTool("convert --synthetic " + dir_ + "/chart.png " + dir_ + "/filmed.png");
    EXPECT_EQ(scene.exitCode, 0) << scene.err;
    std::ifstream filmed(dir_ + "/filmed.png");
    EXPECT_TRUE(filmed.good());
}

// A run that did its job says what it made, from what and how; --json says it to a script.
TEST_F(ConvertFiles, SuccessNamesTheOutputItsSizeAndTheSettings) {
    ToolRun text = RunTool("convert --width 1312 --height 988 --phase bggr --gains 600,2,3 " +
                           dir_ + "/frame.bgra " + dir_ + "/big.bgra");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "wrote " + dir_ + "/big.bgra: 1312 x 988, 5185024 bytes, from " + dir_ +
                            "/frame.bgra (phase bggr); colour, gains 512,2,3, colour correction "
                            "on, brightness 255, contrast 10, saturation 10, hue 0\n");

    ToolRun json = RunTool("convert --synthetic chart --row-step 700 --json " + dir_ + "/j.png");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json line = nlohmann::json::parse(json.out);
    EXPECT_EQ(line["output"], dir_ + "/j.png");
    EXPECT_EQ(line["input"], "synthetic:chart");
    EXPECT_EQ(line["width"], 656);
    EXPECT_EQ(line["height"], 494);
    EXPECT_EQ(line["phase"], "rggb");
    EXPECT_EQ(line["rowStep"], 700);
    EXPECT_TRUE(RunTool("convert --synthetic chart --json").out.find("\"output\":null") !=
                std::string::npos);
}

}  // namespace
