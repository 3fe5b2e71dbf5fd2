// `bayercam convert`, run as a user runs it, against the pipeline run in-process with the
// same settings.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "sim/scene.h"
#include "tests/imaging/test_support.h"
#include "tests/tools/run_tool.h"

namespace {

using imaging_test::PipelinePtr;

class ConvertTool : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/bayercam-convert-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        for (auto& f : files_)
            std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string Path(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    static void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static std::vector<uint8_t> Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir_;
    std::vector<std::string> files_;
};

// The pipeline as the stream start sets it up, then one frame.
struct InProcess {
    std::vector<uint8_t> image;
    std::vector<int32_t> matrix;
    std::vector<uint32_t> gains;
};
InProcess Convert(const std::vector<uint8_t>& raw, uint32_t w, uint32_t h, int32_t phase,
                  uint32_t offset, uint32_t step, const int32_t gains[3], int32_t brightness,
                  int32_t contrast, int32_t saturation, int32_t hue, bool grey, bool awb) {
    PipelinePtr p(CreateImagePipeline());
    SetWhiteBalanceAuto(p.get(), awb);
    SetBayerPhase(p.get(), phase);
    SetColorEnable(p.get(), !grey);
    SetRedGain(p.get(), gains[0]);
    SetGreenGain(p.get(), gains[1]);
    SetBlueGain(p.get(), gains[2]);
    SetColorCorrection(p.get(), 1);
    SetBrightness(p.get(), brightness);
    SetContrast(p.get(), contrast);
    SetSaturation(p.get(), saturation);
    SetHue(p.get(), hue);
    SetFrameSize(p.get(), w, h);
    EXPECT_EQ(AllocateRawBuffer(p.get()), STATUS_SUCCESS);
    InProcess r;
    r.image.resize(size_t(w) * h * 4);
    p->outputBuffer = r.image.data();
    ProcessRawFrame(p.get(), raw.data(), offset, step);
    p->outputBuffer = nullptr;
    r.matrix.assign(p->frameMatrix, p->frameMatrix + 16);
    r.gains = {p->frameRedGain, p->frameGreenGain, p->frameBlueGain};
    return r;
}

TEST_F(ConvertTool, RawFileThroughThePipeline) {
    std::mt19937 rng(31);
    auto raw = imaging_test::RandomBytes(7 + 70 * 20, rng);
    std::string in = Path("frame.raw"), out = Path("frame.bgra");
    Write(in, raw);
    ToolRun run = RunTool(
        "convert --width 64 --height 20 --phase grbg --offset 7 --row-step 70 "
        "--gains 100,140,300 --brightness 300 --contrast 14 --saturation 5 "
        "--hue 33 --json " +
        in + " " + out);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const int32_t gains[3] = {100, 140, 300};
    InProcess expected = Convert(raw, 64, 20, 0, 7, 70, gains, 300, 14, 5, 33, false, false);
    EXPECT_EQ(Read(out), expected.image);
    auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["fixedMatrix"].get<std::vector<int32_t>>(), expected.matrix);
    EXPECT_EQ(j["gains"].get<std::vector<uint32_t>>(), (std::vector<uint32_t>{100, 140, 300}));

    // Grey output with measured gains.
    run = RunTool(
        "convert --width 64 --height 20 --phase grbg --offset 7 --row-step 70 --grey "
        "--auto-white-balance --json " +
        in + " " + out);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const int32_t unit[3] = {128, 128, 128};
    expected = Convert(raw, 64, 20, 0, 7, 70, unit, 255, 10, 10, 0, true, true);
    EXPECT_EQ(Read(out), expected.image);
    EXPECT_EQ(nlohmann::json::parse(run.out)["gains"].get<std::vector<uint32_t>>(), expected.gains);
}

TEST_F(ConvertTool, SettingsAreClampedAsThePropertySetClampsThem) {
    std::string in = Path("grey.raw");
    Write(in, std::vector<uint8_t>(16 * 8, 90));
    auto matrix = [&](const std::string& options) {
        ToolRun run = RunTool("convert --width 16 --height 8 --json " + options + " " + in);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return nlohmann::json::parse(run.out)["fixedMatrix"];
    };
    EXPECT_EQ(matrix("--brightness 9999"), matrix("--brightness 510"));
    EXPECT_EQ(matrix("--brightness -5"), matrix("--brightness 0"));
    EXPECT_EQ(matrix("--contrast 50 --saturation -3"), matrix("--contrast 20 --saturation 0"));
    EXPECT_EQ(matrix("--hue 360"), matrix("--hue 359"));
    EXPECT_NE(matrix("--color-correction 0"), matrix("--color-correction 1"));
    ToolRun run = RunTool("convert --width 16 --height 8 --json --gains 0,600,128 " + in);
    EXPECT_EQ(nlohmann::json::parse(run.out)["gains"].get<std::vector<uint32_t>>(),
              (std::vector<uint32_t>{1, 512, 128}));
}

TEST_F(ConvertTool, ShortFilesAndBadArgumentsAreRefused) {
    std::string in = Path("short.raw"), out = Path("never.png");
    Write(in, std::vector<uint8_t>(656 * 494 - 1, 1));
    ToolRun run = RunTool("convert " + in + " " + out);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("needs 324064"), std::string::npos) << run.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);  // nothing written
    // The row step and offset count too.
    Write(in, std::vector<uint8_t>(100, 1));
    run = RunTool("convert --width 10 --height 10 --row-step 11 --offset 2 " + in + " " + out);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("needs 111"), std::string::npos) << run.err;

    EXPECT_EQ(RunTool("convert --phase rgbg " + in + " " + out).exitCode, 2);
    EXPECT_EQ(RunTool("convert --width 0 " + in + " " + out).exitCode, 2);
    EXPECT_EQ(RunTool("convert --gains 1,2 " + in + " " + out).exitCode, 2);
    EXPECT_EQ(RunTool("convert --frobnicate " + in + " " + out).exitCode, 2);
    EXPECT_EQ(RunTool("convert " + in + " out.jpg").exitCode, 2);
    EXPECT_EQ(RunTool("convert " + in).exitCode, 2);  // no output and no --json
    EXPECT_EQ(RunTool("convert " + dir_ + "/missing.raw " + out).exitCode, 1);
    EXPECT_EQ(RunTool("convert --synthetic nothing " + out).exitCode, 1);
}

TEST_F(ConvertTool, SyntheticChartAsPng) {
    std::string png = Path("chart.png"), bgra = Path("chart.bgra");
    ToolRun run = RunTool("convert --synthetic chart " + png);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(RunTool("convert --synthetic chart " + bgra).exitCode, 0);

    // The chart filmed by the sensor, converted in-process, gives the same image.
    sim::Scene scene;
    std::string error;
    ASSERT_TRUE(sim::LoadScene("chart", &scene, &error));
    std::vector<uint8_t> raw(656 * 494);
    sim::RenderBayer(scene, 656, 494, sim::kRGGB, {}, raw.data(), 656);
    const int32_t unit[3] = {128, 128, 128};
    auto expected = Convert(raw, 656, 494, 2, 0, 656, unit, 255, 10, 10, 0, false, false);
    auto image = Read(bgra);
    ASSERT_EQ(image, expected.image);

    png_image p{};
    p.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&p, png.c_str()));
    EXPECT_EQ(p.width, 656u);
    EXPECT_EQ(p.height, 494u);
    p.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(p));
    ASSERT_TRUE(png_image_finish_read(&p, nullptr, rgb.data(), 0, nullptr));
    for (size_t i = 0; i < 656 * 494; ++i) {
        ASSERT_EQ(rgb[3 * i], image[4 * i + 2]) << i;
        ASSERT_EQ(rgb[3 * i + 1], image[4 * i + 1]) << i;
        ASSERT_EQ(rgb[3 * i + 2], image[4 * i]) << i;
    }
}

}  // namespace
