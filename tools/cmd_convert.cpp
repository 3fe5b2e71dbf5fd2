// bayercam convert: one raw Bayer frame, from a file or a built-in test scene, through the
// driver's image pipeline into a PNG or the pipeline's output bytes. The pipeline is set up
// the way a stream start sets it up and converts through the same ProcessRawFrame.
#include <algorithm>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"
#include "sim/scene.h"
#include "tools/cli_checks.h"
#include "tools/command.h"
#include "tools/file_check.h"
#include "tools/png_image.h"

namespace tool {
namespace {

struct Options {
    int width = 656;
    int height = 494;
    std::string phaseName = "rggb";
    long long offset = 0;
    long long rowStep = 0;  // 0: the width
    std::vector<int32_t> gains = {128, 128, 128};
    int32_t colorCorrection = 1;
    int32_t brightness = 255;
    int32_t contrast = 10;
    int32_t saturation = 10;
    int32_t hue = 0;
    bool grey = false;
    bool autoWhiteBalance = false;
    bool json = false;
    std::string synthetic;
    std::vector<std::string> files;  // INPUT.raw and OUTPUT, or OUTPUT alone with --synthetic
};

// What the conversion works with, once the command line made sense.
struct Conversion {
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t phase = 0;
    uint32_t offset = 0;
    uint32_t rowStep = 0;
    std::string input;
    std::string output;
};

constexpr uint64_t kMaxSyntheticFrameBytes = 1ull << 30;

// The phase numbers the pipeline takes, in its order.
const char* const kPhaseNames[4] = {"grbg", "bggr", "rggb", "gbrg"};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Bytes a frame needs: up to the last sample of the last row.
uint64_t FrameBytes(const Conversion& o) {
    return uint64_t(o.offset) + uint64_t(o.rowStep) * (o.height - 1) + o.width;
}

// The checks the options cannot make one by one: how many files, and what OUTPUT is.
Conversion Resolve(const Options& o) {
    Conversion c;
    c.width = uint32_t(o.width);
    c.height = uint32_t(o.height);
    c.phase = int32_t(std::find(std::begin(kPhaseNames), std::end(kPhaseNames), o.phaseName) -
                      std::begin(kPhaseNames));
    c.offset = uint32_t(o.offset);
    c.rowStep = o.rowStep ? uint32_t(o.rowStep) : c.width;
    // Rows that overlap are no frame a camera sends: a step below the width is a mistake.
    if (c.rowStep < c.width) {
        throw CLI::ValidationError(
            "--row-step",
            std::to_string(c.rowStep) + " is below the width " + std::to_string(c.width));
    }

    // A test scene is rendered into a frame of this size; a raw file need only be as long.
    if (!o.synthetic.empty() && FrameBytes(c) > kMaxSyntheticFrameBytes) {
        throw CLI::ValidationError("--row-step", "a synthetic frame of " +
                                                     std::to_string(FrameBytes(c)) +
                                                     " bytes is larger than 1 GiB");
    }

    const size_t files = o.synthetic.empty() ? 2 : 1;
    if (o.files.size() > files || (o.synthetic.empty() && o.files.empty())) {
        throw CLI::ValidationError(o.synthetic.empty() ? "expected INPUT.raw and OUTPUT"
                                                       : "expected only OUTPUT with --synthetic");
    }
    if (o.synthetic.empty())
        c.input = o.files[0];
    if (o.files.size() == files)
        c.output = o.files.back();
    if (c.output.empty() && !o.json)
        throw CLI::ValidationError("nothing to do: give OUTPUT or --json");
    if (!c.output.empty() && !EndsWith(c.output, ".png") && !EndsWith(c.output, ".bgra"))
        throw CLI::ValidationError("OUTPUT", "must end in .png or .bgra: " + c.output);
    return c;
}

bool ReadRaw(const Conversion& o, std::vector<uint8_t>* raw) {
    std::string problem = ReadableFileProblem(o.input);
    if (!problem.empty()) {
        std::fprintf(stderr, "bayercam convert: %s\n", problem.c_str());
        return false;
    }
    // C streams: a read error is a return value here, where a C++ stream iterator would
    // throw it past us.
    FILE* in = std::fopen(o.input.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "bayercam convert: %s: %s\n", o.input.c_str(), std::strerror(errno));
        return false;
    }
    // Only the frame is read: whatever the file holds after its last sample is not needed.
    const uint64_t need = FrameBytes(o);
    raw->clear();
    uint8_t block[65536];
    size_t got;
    while (raw->size() < need &&
           (got = std::fread(
                block, 1, size_t(std::min<uint64_t>(sizeof(block), need - raw->size())), in)) > 0) {
        raw->insert(raw->end(), block, block + got);
    }
    const bool failed = std::ferror(in);
    const int readErrno = errno;
    std::fclose(in);
    if (failed) {
        std::fprintf(stderr, "bayercam convert: %s: %s\n", o.input.c_str(),
                     std::strerror(readErrno));
        return false;
    }
    if (raw->size() < need) {
        std::fprintf(stderr,
                     "bayercam convert: %s holds %zu bytes; a %u x %u frame at offset %u with "
                     "row step %u needs %llu\n",
                     o.input.c_str(), raw->size(), o.width, o.height, o.offset, o.rowStep,
                     (unsigned long long)need);
        return false;
    }
    return true;
}

// A picture for --synthetic is checked here, so a wrong path or a file that is not a PNG is
// named as such rather than by the PNG reader's terse message.
bool CheckPicture(const std::string& synthetic) {
    const auto& names = sim::BuiltInSceneNames();
    if (std::find(names.begin(), names.end(), synthetic) != names.end() ||
        !EndsWith(synthetic, ".png")) {
        return true;  // a built-in scene, or a name the scene loader refuses with the choices
    }
    std::string problem = ReadableFileProblem(synthetic);
    if (problem.empty() && !StartsLikePng(synthetic))
        problem = synthetic + ": not a PNG picture";
    if (!problem.empty()) {
        std::fprintf(stderr, "bayercam convert: --synthetic %s\n", problem.c_str());
        return false;
    }
    return true;
}

bool RenderRaw(const Options& options, const Conversion& o, std::vector<uint8_t>* raw) {
    if (!CheckPicture(options.synthetic))
        return false;
    sim::Scene scene;
    std::string error;
    if (!sim::LoadScene(options.synthetic, &scene, &error)) {
        std::fprintf(stderr, "bayercam convert: %s\n", error.c_str());
        return false;
    }
    raw->assign(FrameBytes(o), 0);
    sim::RenderBayer(scene, int(o.width), int(o.height), o.phase, {}, raw->data() + o.offset,
                     o.rowStep);
    return true;
}

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!out) {
        std::fprintf(stderr, "bayercam convert: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

std::string FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "";
    return ", " + std::to_string((long long)st.st_size) + " bytes";
}

// What was made, and from what: a person sees that the job was done and with which settings,
// a script gets the same from the JSON line.
void Report(const Options& options, const Conversion& o, const ImagePipeline& p) {
    const std::vector<uint32_t> gains = {p.frameRedGain, p.frameGreenGain, p.frameBlueGain};
    const std::string input =
        options.synthetic.empty() ? o.input : "the " + options.synthetic + " scene";
    if (options.json) {
        nlohmann::ordered_json j;
        j["output"] =
            o.output.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(o.output);
        j["input"] = options.synthetic.empty() ? o.input : "synthetic:" + options.synthetic;
        j["width"] = o.width;
        j["height"] = o.height;
        j["phase"] = kPhaseNames[o.phase];
        j["offset"] = o.offset;
        j["rowStep"] = o.rowStep;
        j["fixedMatrix"] = std::vector<int32_t>(p.frameMatrix, p.frameMatrix + 16);
        j["gains"] = gains;
        std::printf("%s\n", j.dump().c_str());
        return;
    }
    std::printf(
        "wrote %s: %u x %u%s, from %s (phase %s); %s, gains %u,%u,%u%s, colour correction %s, "
        "brightness %d, contrast %d, saturation %d, hue %d\n",
        o.output.c_str(), o.width, o.height, FileSize(o.output).c_str(), input.c_str(),
        kPhaseNames[o.phase], options.grey ? "grey" : "colour", gains[0], gains[1], gains[2],
        options.autoWhiteBalance ? " (measured)" : "", options.colorCorrection ? "on" : "off",
        options.brightness, options.contrast, options.saturation, options.hue);
}

int Run(const Options& options) {
    const Conversion o = Resolve(options);
    // The output is checked before the work, which a bad path would otherwise waste.
    std::string problem = o.output.empty() ? "" : WritableFileProblem(o.output);
    if (!problem.empty()) {
        std::fprintf(stderr, "bayercam convert: %s\n", problem.c_str());
        return kExitFailure;
    }
    std::vector<uint8_t> raw;
    if (!(options.synthetic.empty() ? ReadRaw(o, &raw) : RenderRaw(options, o, &raw)))
        return kExitFailure;

    // As the stream start: the record with its creation values, the settings in order, then
    // the frame size, the padded buffer and the output image.
    ImagePipeline* p = CreateImagePipeline();
    const size_t imageBytes = size_t(o.width) * o.height * 4;
    auto* image =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, imageBytes, kTagFrameBuffer));
    if (!p || !image) {
        std::fprintf(stderr, "bayercam convert: out of memory\n");
        DestroyImagePipeline(p);
        if (image)
            ExFreePoolWithTag(image, kTagFrameBuffer);
        return kExitFailure;
    }
    SetWhiteBalanceAuto(p, options.autoWhiteBalance ? 1 : 0);
    SetBayerPhase(p, o.phase);
    SetColorEnable(p, options.grey ? 0 : 1);
    SetRedGain(p, options.gains[0]);
    SetGreenGain(p, options.gains[1]);
    SetBlueGain(p, options.gains[2]);
    SetColorCorrection(p, options.colorCorrection);
    SetBrightness(p, options.brightness);
    SetContrast(p, options.contrast);
    SetSaturation(p, options.saturation);
    SetHue(p, options.hue);
    SetBayerPhase(p, o.phase);
    SetFrameSize(p, o.width, o.height);
    int status = kExitSuccess;
    if (AllocateRawBuffer(p) != STATUS_SUCCESS) {
        std::fprintf(stderr, "bayercam convert: out of memory\n");
        status = kExitFailure;
    } else {
        p->outputBuffer = image;
        ProcessRawFrame(p, raw.data(), o.offset, o.rowStep);

        std::string error;
        if (EndsWith(o.output, ".png") &&
            !WriteRgbPng(o.output, o.width, o.height, image, &error)) {
            std::fprintf(stderr, "bayercam convert: %s\n", error.c_str());
            status = kExitFailure;
        } else if (EndsWith(o.output, ".bgra") && !WriteBytes(o.output, image, imageBytes)) {
            status = kExitFailure;
        }
        if (status == kExitSuccess)
            Report(options, o, *p);
    }
    DestroyImagePipeline(p);
    ExFreePoolWithTag(image, kTagFrameBuffer);
    return status;
}

tool::Job Setup(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("--width", o->width, "frame width in samples")
        ->check(IntRange(1, 8192))
        ->capture_default_str();
    command.add_option("--height", o->height, "frame height in rows")
        ->check(IntRange(1, 8192))
        ->capture_default_str();
    command.add_option("--phase", o->phaseName, "colour of the first two samples of the frame")
        ->check(CLI::IsMember({"rggb", "grbg", "bggr", "gbrg"}))
        ->capture_default_str();
    command.add_option("--offset", o->offset, "bytes before the first sample")
        ->check(IntRange(0LL, 0xFFFFFFFFLL))
        ->capture_default_str();
    command
        .add_option("--row-step", o->rowStep, "bytes from one row to the next (default: the width)")
        ->check(IntRange(1LL, 0xFFFFFFFFLL));
    // The settings take any 32-bit value and clamp it into the property's range, as the
    // property set does, so a value out of range is not a mistake. The comma lists take
    // exactly their one argument, so a file name after them stays a file name.
    command.add_option("--gains", o->gains, "red, green and blue gains R,G,B")
        ->delimiter(',')
        ->expected(3)
        ->allow_extra_args(false)
        ->transform(ClampedInt(1, 512))
        ->capture_default_str();
    command
        .add_option("--color-correction", o->colorCorrection, "colour correction: 0 off, else on")
        ->capture_default_str();
    command.add_option("--brightness", o->brightness, "brightness")
        ->transform(ClampedInt(0, 510))
        ->capture_default_str();
    command.add_option("--contrast", o->contrast, "contrast")
        ->transform(ClampedInt(0, 20))
        ->capture_default_str();
    command.add_option("--saturation", o->saturation, "saturation")
        ->transform(ClampedInt(0, 20))
        ->capture_default_str();
    command.add_option("--hue", o->hue, "hue rotation in degrees")
        ->transform(ClampedInt(0, 359))
        ->capture_default_str();
    command.add_flag("--grey", o->grey, "grey output instead of colour");
    command.add_flag("--auto-white-balance", o->autoWhiteBalance,
                     "measure the white balance from the frame");
    command.add_flag("--json", o->json, "print the frame's colour matrix and gains as JSON");
    command
        .add_option("--synthetic", o->synthetic,
                    "convert a built-in test scene instead of INPUT.raw: bars, chart, "
                    "zoneplate or PICTURE.png filmed as a scene")
        ->type_name("SCENE");
    command
        .add_option("FILES", o->files,
                    "INPUT.raw, then OUTPUT.png or OUTPUT.bgra; no INPUT.raw with --synthetic, "
                    "OUTPUT may be left out with --json")
        ->type_name("");
    return [o]() { return Run(*o); };
}

const bool registered = RegisterCommand({
    "convert",
    "convert a raw Bayer frame (or a built-in test scene) to an image through the pipeline",
    Setup,
});

}  // namespace
}  // namespace tool
