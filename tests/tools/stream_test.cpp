// bayercam stream, run as a user runs it, each run against a registry hive of its own; and the
// summary's arithmetic and the contact sheet, tested directly.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/tools/run_tool.h"
#include "tools/contact_sheet.h"
#include "tools/stream_summary.h"

namespace {

using nlohmann::json;

// ---- The summary's arithmetic --------------------------------------------------------------

TEST(StreamTally, DropsAreThePictureNumberGapsAndTheRateIsOverTheReceivedFrames) {
    const struct {
        std::vector<int64_t> pictures;
        std::vector<double> seconds;
        int64_t dropped;
        double fps;
    } cases[] = {
        {{1, 2, 3}, {0.0, 0.1, 0.2}, 0, 10.0},
        {{1, 3, 4, 7}, {0.0, 1.0, 2.0, 3.0}, 3, 1.0},  // 2, 5 and 6 never came
        {{5}, {0.5}, 0, 0.0},                          // nothing before the first counts
        {{10, 2, 3}, {0.0, 0.5, 1.0}, 0, 2.0},         // numbering started again: no gap
        {{4, 4, 6}, {1.0, 1.0, 1.0}, 1, 0.0},          // no time passed: no rate
        {{100, 200}, {2.0, 2.25}, 99, 4.0},
    };
    for (const auto& c : cases) {
        tool::StreamTally tally;
        for (size_t i = 0; i < c.pictures.size(); ++i)
            tally.AddFrame(c.pictures[i], c.seconds[i]);
        EXPECT_EQ(tally.Frames(), int64_t(c.pictures.size()));
        EXPECT_EQ(tally.Dropped(), c.dropped) << c.pictures.size() << " frames";
        EXPECT_NEAR(tally.Fps(), c.fps, 1e-9) << c.pictures.size() << " frames";
    }
}

TEST(StreamSummary, CpuPerFrameAndTheJsonObject) {
    EXPECT_DOUBLE_EQ(tool::CpuPerFrameUs(3000000, 3), 1000.0);
    EXPECT_DOUBLE_EQ(tool::CpuPerFrameUs(3000000, 0), 0.0);

    tool::StreamTally tally;
    tally.AddFrame(1, 0.0);
    tally.AddFrame(2, 1.0 / 29.999);
    tally.AddFrame(4, 2.0 / 29.999);
    tally.AddEmpty();
    tool::StreamSummary s = tool::Summarize(tally, 5, 1234567, 12.346);
    nlohmann::ordered_json j = tool::SummaryJson(s);
    EXPECT_EQ(j.dump(),
              R"({"summary":true,"frames":3,"dropped":1,"fps":30.0,"driverCpuPerFrameUs":411.52,)"
              R"("stopMs":12.35,"empty":1})");
    std::string text = tool::SummaryText(s);
    EXPECT_NE(text.find("3 of 5 frames received at 30.00 frames/s, 1 dropped"), std::string::npos)
        << text;
    EXPECT_NE(text.find("simulated camera's rendering"), std::string::npos) << text;
    EXPECT_NE(text.find("1 reads completed without an image"), std::string::npos) << text;

    tool::StreamTally one;
    one.AddFrame(1, 0.5);
    text = tool::SummaryText(tool::Summarize(one, 1, 1000, 1.0));
    EXPECT_NE(text.find("1 of 1 frames received (too few to measure a rate), 0 dropped"),
              std::string::npos)
        << text;
}

// ---- The contact sheet ---------------------------------------------------------------------

std::vector<uint8_t> Frame(uint32_t width, uint32_t height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> f(size_t(width) * height * 4);
    for (size_t i = 0; i < f.size(); i += 4) {
        f[i] = b;
        f[i + 1] = g;
        f[i + 2] = r;
        f[i + 3] = 0;
    }
    return f;
}

TEST(ContactSheet, EveryTenthFrameFromTheFirst) {
    tool::ContactSheet sheet;
    const struct {
        int64_t ordinal;
        bool wanted;
    } cases[] = {{0, false}, {1, true}, {2, false}, {10, false}, {11, true}, {91, true}};
    for (const auto& c : cases)
        EXPECT_EQ(sheet.Wants(c.ordinal), c.wanted) << c.ordinal;
}

TEST(ContactSheet, TilesAreRoundedBlockMeans) {
    // An 8 x 4 frame: two 4 x 4 blocks. The left block is 10 except one pixel of 17 in each
    // colour (mean 10.4375: 10); the right is 200 except 15 pixels of 201 (mean 200.94: 201).
    std::vector<uint8_t> f = Frame(8, 4, 10, 10, 10);
    for (int c = 0; c < 3; ++c)
        f[(2 * 8 + 1) * 4 + c] = 17;
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 4; x < 8; ++x) {
            for (int c = 0; c < 3; ++c)
                f[(y * 8 + x) * 4 + c] = (y == 0 && x == 4) ? 200 : 201;
        }
    }
    tool::ContactSheet sheet;
    sheet.Add(f.data(), 8, 4);
    sheet.Add(f.data(), 3, 3);  // smaller than a block: no tile
    ASSERT_EQ(sheet.Tiles(), 1u);
    uint32_t w, h;
    std::vector<uint8_t> s = sheet.Compose(&w, &h);
    const uint32_t gap = tool::ContactSheet::kGap;
    ASSERT_EQ(w, 2 + 2 * gap);
    ASSERT_EQ(h, 1 + 2 * gap);
    const uint8_t* left = &s[(gap * w + gap) * 4];
    EXPECT_EQ(left[0], 10);
    EXPECT_EQ(left[3], 255);
    EXPECT_EQ(left[4 + 2], 201);
    EXPECT_EQ(s[0], tool::ContactSheet::kBackground);
}

TEST(ContactSheet, TilesFillAGridRowByRow) {
    const struct {
        int tiles;
        uint32_t columns;
        uint32_t rows;
    } cases[] = {{1, 1, 1}, {2, 2, 1}, {4, 2, 2}, {5, 3, 2}, {9, 3, 3}, {10, 4, 3}};
    const uint32_t gap = tool::ContactSheet::kGap;
    for (const auto& c : cases) {
        tool::ContactSheet sheet;
        for (int i = 0; i < c.tiles; ++i) {
            std::vector<uint8_t> f = Frame(16, 8, uint8_t(i + 1), 0, 0);
            sheet.Add(f.data(), 16, 8);
        }
        uint32_t w, h;
        std::vector<uint8_t> s = sheet.Compose(&w, &h);
        EXPECT_EQ(w, c.columns * 4 + (c.columns + 1) * gap) << c.tiles;
        EXPECT_EQ(h, c.rows * 2 + (c.rows + 1) * gap) << c.tiles;
        // The last tile sits in its column and row, marked by its blue.
        const uint32_t last = uint32_t(c.tiles - 1);
        const uint32_t x = gap + (last % c.columns) * (4 + gap);
        const uint32_t y = gap + (last / c.columns) * (2 + gap);
        EXPECT_EQ(s[(size_t(y) * w + x) * 4], uint8_t(c.tiles)) << c.tiles;
    }
    uint32_t w = 1, h = 1;
    EXPECT_TRUE(tool::ContactSheet().Compose(&w, &h).empty());
    EXPECT_EQ(w, 0u);
}

// ---- The command, run as a user runs it ----------------------------------------------------

class StreamCommand : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/bayercam-stream-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // Each run gets a hive of its own, so no setting carries over from another case.
    ToolRun Stream(const std::string& args) {
        return RunTool("stream --registry " + dir_ + "/" + std::to_string(++runs_) + ".hiv " +
                       args);
    }

    std::string dir_;
    int runs_ = 0;
};

struct Output {
    std::vector<json> frames;
    std::vector<json> events;
    json summary;
};

Output Split(const std::string& out) {
    Output o;
    for (json& line : JsonLines(out)) {
        if (line.contains("summary"))
            o.summary = line;
        else if (line.contains("event"))
            o.events.push_back(line);
        else
            o.frames.push_back(line);
    }
    return o;
}

bool ReadPng(const std::string& path, uint32_t* width, uint32_t* height,
             std::vector<uint8_t>* rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    *width = image.width;
    *height = image.height;
    return png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr) != 0;
}

off_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string Name(int64_t picture) {
    char name[16];
    std::snprintf(name, sizeof(name), "%06lld", (long long)picture);
    return name;
}

TEST_F(StreamCommand, EveryMisuseIsStatusTwoWithTheReason) {
    const struct {
        const char* args;
        const char* says;
    } cases[] = {
        {"--frames 0", "--frames: 0 is outside [1 - 1000000]"},
        {"--frames ten", "'ten' is not a whole number"},
        {"--buffers 65", "65 is outside [1 - 64]"},
        {"--seconds 0", "0 is outside (0 - 86400]"},
        {"--seconds soon", "'soon' is not a number of seconds"},
        {"--set Exposure", "expected NAME=VALUE"},
        {"--set Nope=1", "no property 'Nope'"},
        {"--set Exposure=ten", "'ten' is not a whole number"},
        {"--set-at FlipV=1", "expected FRAME:NAME=VALUE"},
        {"--set-at 0:FlipV=1", "FRAME: 0 is outside"},
        {"--set-at x:FlipV=1", "FRAME: 'x' is not a whole number"},
        {"--set-at 3:Nope=1", "no property 'Nope'"},
        {"--frames 10 --set-at 11:FlipV=1", "frame 11 comes after the last of the 10 frames"},
        {"--pause-at 5", "expected FRAME:MS"},
        {"--pause-at 5:-1", "MS: '-1' is not a whole number"},
        {"--pause-at 5:600001", "600001 is outside [0 - 600000]"},
        {"--frames 4 --pause-at 5:10", "frame 5 comes after the last of the 4 frames"},
        {"--roi 1,2,3", "--roi: At least 4"},
        {"--fault gremlins", "chunk-refused"},
        {"--fault stalled-pipe@-1", "not a probability"},
        {"--unplug-at 0", "--unplug-at: 0 is outside [1 - 1000000]"},
        {"--driver /no/such/bayercam.sys", "--driver: File does not exist"},
        {"--out", "--out"},
        {"stray", "not expected: stray"},
    };
    for (const auto& c : cases) {
        ToolRun run = Stream(c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.args;
    }
    ToolRun help = RunTool("stream --help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* text : {"[1 - 1000000]=90", "--buffers", "=2", "--seconds", "=10", "--raw-out",
                             "--set-at", "--pause-at", "--no-clock", "--unpaced", "--contact",
                             "simulated camera's rendering", "Exit status"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
}

struct StreamCase {
    const char* args;  // after --json --unpaced --frames 10
    int64_t width;
    int64_t height;
    int64_t dataUsed;
    bool clock;
    // The flips shown on the frame with this ordinal (from 1).
    std::function<int(int64_t)> flipH;
    std::function<int(int64_t)> flipV;
};

TEST_F(StreamCommand, FramesCarryTheFormatTheClockAndTheSettings) {
    auto never = [](int64_t) { return 0; };
    auto always = [](int64_t) { return 1; };
    const StreamCase cases[] = {
        {"", 656, 494, 1296256, true, never, never},
        {"--buffers 1", 656, 494, 1296256, true, never, never},
        {"--buffers 5 --pause-at 3:200", 656, 494, 1296256, true, never, never},
        {"--no-clock", 656, 494, 1296256, false, never, never},
        {"--set FlipV=1", 656, 494, 1296256, true, never, always},
        {"--roi 0,0,645,100", 640, 100, 256000, true, never, never},
        {"--set-at 4:FlipH=1", 656, 494, 1296256, true, [](int64_t f) { return f > 4; }, never},
    };
    for (const StreamCase& c : cases) {
        ToolRun run = Stream(std::string("--json --unpaced --frames 10 ") + c.args);
        ASSERT_EQ(run.exitCode, 0) << c.args << "\n" << run.err;
        Output o = Split(run.out);
        ASSERT_EQ(o.frames.size(), 10u) << c.args << "\n" << run.out;
        int64_t lastPicture = 0, firstTime = 0, lastTime = INT64_MIN, gaps = 0;
        for (size_t i = 0; i < o.frames.size(); ++i) {
            const json& f = o.frames[i];
            const int64_t ordinal = int64_t(i) + 1;
            EXPECT_EQ(f["frame"], ordinal) << c.args;
            // Without the clock the driver fills in no frame information: no picture number.
            const int64_t picture = f["pictureNumber"];
            if (c.clock) {
                // A pass stamps the count as it stands; with an unpaced camera the worker may
                // have counted the next raw frame already, and that frame's pass then repeats
                // the number. Numbers never go back, and only gaps count as drops.
                EXPECT_GE(picture, lastPicture) << c.args << " frame " << ordinal;
                if (i > 0 && picture > lastPicture + 1)
                    gaps += picture - lastPicture - 1;
            }
            lastPicture = picture;
            EXPECT_EQ(f["width"], c.width) << c.args;
            EXPECT_EQ(f["height"], c.height) << c.args;
            EXPECT_EQ(f["dataUsed"], c.dataUsed) << c.args;
            EXPECT_EQ(f["duration"], 333333) << c.args;
            const std::string flags = f["optionsFlags"];
            const unsigned long bits = std::strtoul(flags.c_str(), nullptr, 16);
            const int64_t time = f["presentationTime"];
            if (c.clock) {
                EXPECT_EQ(flags, "0x00000110") << c.args;
                // Stream time: a frame caught as the clock starts may be stamped just before 0.
                EXPECT_GE(time, lastTime) << c.args << " frame " << ordinal;
                if (i == 0)
                    firstTime = time;
            } else {
                EXPECT_EQ(bits & 0x110, 0u) << c.args << ": " << flags;
                EXPECT_EQ(time, 0) << c.args;
            }
            lastTime = time;
            EXPECT_EQ(f["flipH"], c.flipH(ordinal)) << c.args << " frame " << ordinal;
            EXPECT_EQ(f["flipV"], c.flipV(ordinal)) << c.args << " frame " << ordinal;
        }
        if (c.clock) {
            EXPECT_GT(lastTime, firstTime) << c.args << ": the clock does not advance";
        }
        EXPECT_EQ(o.summary["frames"], 10) << c.args;
        EXPECT_EQ(o.summary["dropped"], gaps) << c.args;
        EXPECT_GT(o.summary["fps"].get<double>(), 0) << c.args;
        EXPECT_GT(o.summary["driverCpuPerFrameUs"].get<double>(), 0) << c.args;
        EXPECT_GE(o.summary["stopMs"].get<double>(), 0) << c.args;
        for (const json& e : o.events)
            EXPECT_EQ(e["status"], "0x00000000") << c.args << ": " << e.dump();
    }
}

TEST_F(StreamCommand, SettingsMadeForTheStreamAreSaved) {
    std::string hive = dir_ + "/kept.hiv";
    ToolRun run = RunTool("stream --registry " + hive + " --unpaced --frames 2 --set Hue=40");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("2 of 2 frames received"), std::string::npos) << run.out;
    ToolRun get = RunTool("props --registry " + hive + " --json get Hue");
    ASSERT_EQ(get.exitCode, 0) << get.err;
    EXPECT_EQ(JsonLines(get.out).at(0)["value"], 40);
}

TEST_F(StreamCommand, FramesWrittenAsPicturesWithTheirRawFrames) {
    const std::string frames = dir_ + "/frames", raws = dir_ + "/raw";
    ToolRun run = Stream("--json --unpaced --frames 3 --out " + frames + " --raw-out " + raws +
                         " --contact " + dir_ + "/contact.png");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Output o = Split(run.out);
    ASSERT_EQ(o.frames.size(), 3u);
    for (const json& f : o.frames) {
        const std::string name = Name(f["pictureNumber"].get<int64_t>());
        uint32_t w = 0, h = 0;
        std::vector<uint8_t> streamed, converted;
        ASSERT_TRUE(ReadPng(frames + "/" + name + ".png", &w, &h, &streamed)) << name;
        EXPECT_EQ(w, 656u);
        EXPECT_EQ(h, 494u);
        const std::string raw = raws + "/" + name + ".raw";
        ASSERT_EQ(FileSize(raw), 324064) << raw;
        // The driver's defaults are convert's: the same pipeline turns the raw frame into the
        // very picture the stream delivered.
        ToolRun again = RunTool("convert " + raw + " " + dir_ + "/" + name + ".png");
        ASSERT_EQ(again.exitCode, 0) << again.err;
        ASSERT_TRUE(ReadPng(dir_ + "/" + name + ".png", &w, &h, &converted));
        EXPECT_TRUE(streamed == converted) << name << ": the raw frame is not the one converted";
    }
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> sheet;
    ASSERT_TRUE(ReadPng(dir_ + "/contact.png", &w, &h, &sheet));
    EXPECT_EQ(w, 164 + 2 * tool::ContactSheet::kGap);  // the first frame alone, a quarter size
    EXPECT_EQ(h, 123 + 2 * tool::ContactSheet::kGap);
}

// The shipped image, run by the host's loader, delivers what the built-in driver's conversion
// makes of the same raw frame, byte for byte, mirrored as asked. (Which raw frames a stream
// delivers depends on timing, so the two drivers are compared frame by frame, not stream by
// stream.)
TEST_F(StreamCommand, TheKernelImageDeliversTheSamePictures) {
    const std::string frames = dir_ + "/frames", raws = dir_ + "/raw";
    ToolRun run = Stream("--driver " BAYERCAM_KERNEL_IMAGE
                         " --json --unpaced --buffers 1 --frames 6 --set FlipH=1 --out " +
                         frames + " --raw-out " + raws);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    int compared = 0;
    for (const json& f : Split(run.out).frames) {
        const std::string name = Name(f["pictureNumber"].get<int64_t>());
        uint32_t w = 0, h = 0;
        std::vector<uint8_t> streamed, converted;
        ASSERT_TRUE(ReadPng(frames + "/" + name + ".png", &w, &h, &streamed)) << name;
        ToolRun again =
            RunTool("convert " + raws + "/" + name + ".raw " + dir_ + "/" + name + ".png");
        ASSERT_EQ(again.exitCode, 0) << again.err;
        ASSERT_TRUE(ReadPng(dir_ + "/" + name + ".png", &w, &h, &converted));
        ASSERT_EQ(streamed.size(), converted.size()) << name;
        std::vector<uint8_t> mirrored(converted.size());
        for (size_t y = 0; y < h; ++y) {
            for (size_t x = 0; x < w; ++x) {
                const uint8_t* from = &converted[(y * w + (w - 1 - x)) * 3];
                std::copy(from, from + 3, &mirrored[(y * w + x) * 3]);
            }
        }
        EXPECT_TRUE(streamed == mirrored) << name;
        ++compared;
    }
    EXPECT_EQ(compared, 6);
}

TEST_F(StreamCommand, FailuresAreStatusOne) {
    const struct {
        std::string args;
        const char* says;
    } cases[] = {
        {"--json --fault no-frame --seconds 1 --frames 5", "0 of 5 frames arrived within 1 s"},
        {"--fault device-descriptor-error --frames 1", "the camera did not start"},
        {"--unpaced --frames 1 --out " + dir_ + "/file.png", "file.png: not a folder"},
        {"--unpaced --frames 1 --contact " + dir_ + "/no/such/sheet.png", "no folder"},
        {"--frames 1 --driver " + dir_ + "/file.png", "file.png: not an MZ file"},
    };
    std::system(("touch " + dir_ + "/file.png").c_str());
    for (const auto& c : cases) {
        ToolRun run = Stream(c.args);
        EXPECT_EQ(run.exitCode, 1) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
    }
    // An unplugged camera ends the stream early; the run is a success once everything closed.
    ToolRun unplugged = Stream("--json --unpaced --frames 50 --unplug-at 3");
    EXPECT_EQ(unplugged.exitCode, 0) << unplugged.err;
    Output u = Split(unplugged.out);
    EXPECT_EQ(u.summary["frames"], 3) << unplugged.out;
    EXPECT_NE(unplugged.out.find("\"event\":\"unplug\",\"afterFrame\":3"), std::string::npos);
    ToolRun none = Stream("--json --fault no-frame --seconds 1 --frames 5");
    Output o = Split(none.out);
    EXPECT_TRUE(o.frames.empty());
    EXPECT_EQ(o.summary["frames"], 0) << none.out;
}

}  // namespace
