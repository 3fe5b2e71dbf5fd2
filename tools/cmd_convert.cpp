// bayercam convert: one raw Bayer frame, from a file or a built-in test scene, through the
// driver's image pipeline into a PNG or the pipeline's output bytes. The pipeline is set up
// the way a stream start sets it up and converts through the same ProcessRawFrame.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"
#include "sim/scene.h"
#include "tools/command.h"
#include "tools/png_image.h"

namespace tool {
namespace {

struct Options {
    uint32_t width = 656;
    uint32_t height = 494;
    int32_t phase = 2;
    uint32_t offset = 0;
    uint32_t rowStep = 0;  // 0: the width
    int32_t gains[3] = {128, 128, 128};
    int32_t colorCorrection = 1;
    int32_t brightness = 255;
    int32_t contrast = 10;
    int32_t saturation = 10;
    int32_t hue = 0;
    bool grey = false;
    bool autoWhiteBalance = false;
    bool json = false;
    std::string synthetic;
    std::string input;
    std::string output;
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int32_t Clamp(long long v, int32_t low, int32_t high) {
    return int32_t(std::min<long long>(std::max<long long>(v, low), high));
}

// Settings take any 32-bit value and are clamped into their property ranges, as the
// property set does.
int32_t TakeSetting(Args& args, const std::string& name, int32_t low, int32_t high,
                    int32_t fallback) {
    long long v;
    if (!TakeInt(args, name, INT32_MIN, INT32_MAX, &v))
        return fallback;
    return Clamp(v, low, high);
}

Options Parse(Args args) {
    Options o;
    long long v;
    if (TakeInt(args, "--width", 1, 8192, &v))
        o.width = uint32_t(v);
    if (TakeInt(args, "--height", 1, 8192, &v))
        o.height = uint32_t(v);
    if (TakeInt(args, "--offset", 0, UINT32_MAX, &v))
        o.offset = uint32_t(v);
    if (TakeInt(args, "--row-step", 1, UINT32_MAX, &v))
        o.rowStep = uint32_t(v);
    std::string text;
    if (TakeValue(args, "--phase", &text)) {
        const char* names[4] = {"grbg", "bggr", "rggb", "gbrg"};
        auto it = std::find(std::begin(names), std::end(names), text);
        if (it == std::end(names)) {
            throw UsageError{"--phase: '" + text + "' is not one of rggb, grbg, bggr, gbrg"};
        }
        o.phase = int32_t(it - std::begin(names));
    }
    if (TakeValue(args, "--gains", &text)) {
        auto g = ParseIntList(text, 3, INT32_MIN, INT32_MAX, "--gains");
        for (int i = 0; i < 3; ++i)
            o.gains[i] = Clamp(g[i], 1, 512);
    }
    o.colorCorrection = TakeSetting(args, "--color-correction", INT32_MIN, INT32_MAX, 1);
    o.brightness = TakeSetting(args, "--brightness", 0, 510, 255);
    o.contrast = TakeSetting(args, "--contrast", 0, 20, 10);
    o.saturation = TakeSetting(args, "--saturation", 0, 20, 10);
    o.hue = TakeSetting(args, "--hue", 0, 359, 0);
    o.grey = TakeFlag(args, "--grey");
    o.autoWhiteBalance = TakeFlag(args, "--auto-white-balance");
    o.json = TakeFlag(args, "--json");
    TakeValue(args, "--synthetic", &o.synthetic);
    RejectUnknownOptions(args);

    size_t files = o.synthetic.empty() ? 2 : 1;
    if (args.size() > files || (o.synthetic.empty() && args.empty())) {
        throw UsageError{o.synthetic.empty() ? "expected INPUT.raw and OUTPUT"
                                             : "expected only OUTPUT with --synthetic"};
    }
    if (o.synthetic.empty())
        o.input = args[0];
    if (args.size() == files)
        o.output = args.back();
    if (o.output.empty() && !o.json)
        throw UsageError{"nothing to do: give OUTPUT or --json"};
    if (!o.output.empty() && !EndsWith(o.output, ".png") && !EndsWith(o.output, ".bgra")) {
        throw UsageError{"OUTPUT must end in .png or .bgra: " + o.output};
    }
    if (o.rowStep == 0)
        o.rowStep = o.width;
    return o;
}

// Bytes a frame needs: up to the last sample of the last row.
uint64_t FrameBytes(const Options& o) {
    return uint64_t(o.offset) + uint64_t(o.rowStep) * (o.height - 1) + o.width;
}

bool ReadRaw(const Options& o, std::vector<uint8_t>* raw) {
    std::ifstream in(o.input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "bayercam convert: cannot open %s\n", o.input.c_str());
        return false;
    }
    raw->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (raw->size() < FrameBytes(o)) {
        std::fprintf(stderr,
                     "bayercam convert: %s holds %zu bytes; a %u x %u frame at offset %u with "
                     "row step %u needs %llu\n",
                     o.input.c_str(), raw->size(), o.width, o.height, o.offset, o.rowStep,
                     (unsigned long long)FrameBytes(o));
        return false;
    }
    return true;
}

bool RenderRaw(const Options& o, std::vector<uint8_t>* raw) {
    sim::Scene scene;
    std::string error;
    if (!sim::LoadScene(o.synthetic, &scene, &error)) {
        std::fprintf(stderr, "bayercam convert: %s\n", error.c_str());
        return false;
    }
    raw->assign(FrameBytes(o), 0);
    if (o.rowStep < o.width) {
        // Overlapping rows: render the image on its own, then lay the rows down in order.
        std::vector<uint8_t> image(size_t(o.width) * o.height);
        sim::RenderBayer(scene, int(o.width), int(o.height), o.phase, {}, image.data(), o.width);
        for (uint32_t y = 0; y < o.height; ++y) {
            std::copy_n(&image[size_t(y) * o.width], o.width,
                        raw->data() + o.offset + uint64_t(y) * o.rowStep);
        }
    } else {
        sim::RenderBayer(scene, int(o.width), int(o.height), o.phase, {}, raw->data() + o.offset,
                         o.rowStep);
    }
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

int Run(const Args& arguments) {
    const Options o = Parse(arguments);
    std::vector<uint8_t> raw;
    if (!(o.synthetic.empty() ? ReadRaw(o, &raw) : RenderRaw(o, &raw)))
        return 1;

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
        return 1;
    }
    SetWhiteBalanceAuto(p, o.autoWhiteBalance ? 1 : 0);
    SetBayerPhase(p, o.phase);
    SetColorEnable(p, o.grey ? 0 : 1);
    SetRedGain(p, o.gains[0]);
    SetGreenGain(p, o.gains[1]);
    SetBlueGain(p, o.gains[2]);
    SetColorCorrection(p, o.colorCorrection);
    SetBrightness(p, o.brightness);
    SetContrast(p, o.contrast);
    SetSaturation(p, o.saturation);
    SetHue(p, o.hue);
    SetBayerPhase(p, o.phase);
    SetFrameSize(p, o.width, o.height);
    int status = 0;
    if (AllocateRawBuffer(p) != STATUS_SUCCESS) {
        std::fprintf(stderr, "bayercam convert: out of memory\n");
        status = 1;
    } else {
        p->outputBuffer = image;
        ProcessRawFrame(p, raw.data(), o.offset, o.rowStep);

        std::string error;
        if (EndsWith(o.output, ".png") &&
            !WriteRgbPng(o.output, o.width, o.height, image, &error)) {
            std::fprintf(stderr, "bayercam convert: %s\n", error.c_str());
            status = 1;
        } else if (EndsWith(o.output, ".bgra") && !WriteBytes(o.output, image, imageBytes)) {
            status = 1;
        }
        if (status == 0 && o.json) {
            nlohmann::ordered_json j;
            j["fixedMatrix"] = std::vector<int32_t>(p->frameMatrix, p->frameMatrix + 16);
            j["gains"] = {p->frameRedGain, p->frameGreenGain, p->frameBlueGain};
            std::printf("%s\n", j.dump().c_str());
        }
    }
    DestroyImagePipeline(p);
    ExFreePoolWithTag(image, kTagFrameBuffer);
    return status;
}

const bool registered = RegisterCommand({
    "convert",
    "convert a raw Bayer frame (or a built-in test scene) to an image through the pipeline",
    "[--width W] [--height H] [--phase rggb|grbg|bggr|gbrg] [--offset N] [--row-step N]\n"
    "      [--gains R,G,B] [--color-correction 0|1] [--brightness N] [--contrast N]\n"
    "      [--saturation N] [--hue N] [--grey] [--auto-white-balance] [--json]\n"
    "      (INPUT.raw | --synthetic bars|chart|zoneplate|PICTURE.png) [OUTPUT.png|OUTPUT.bgra]",
    Run,
});

}  // namespace
}  // namespace tool
