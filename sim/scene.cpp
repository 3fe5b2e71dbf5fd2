// The built-in test scenes, PNG scenes, and the Bayer sampling of a rendered scene.
#include "sim/scene.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

const RgbPixel kBars[8] = {
    {1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 1.0f}, {0.0f, 1.0f, 0.0f},
    {1.0f, 0.0f, 1.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f},
};

// Four rows of six patches: natural colours, strong colours, primaries and secondaries, and
// a grey ramp from near white to near black.
const RgbPixel kChart[24] = {
    {0.45f, 0.32f, 0.26f}, {0.76f, 0.59f, 0.51f}, {0.38f, 0.48f, 0.61f}, {0.34f, 0.42f, 0.26f},
    {0.51f, 0.50f, 0.69f}, {0.40f, 0.74f, 0.67f}, {0.84f, 0.49f, 0.18f}, {0.31f, 0.36f, 0.65f},
    {0.76f, 0.33f, 0.38f}, {0.36f, 0.24f, 0.42f}, {0.62f, 0.74f, 0.25f}, {0.88f, 0.63f, 0.18f},
    {0.22f, 0.24f, 0.58f}, {0.27f, 0.58f, 0.29f}, {0.69f, 0.19f, 0.22f}, {0.93f, 0.78f, 0.12f},
    {0.73f, 0.33f, 0.58f}, {0.00f, 0.52f, 0.65f}, {0.95f, 0.95f, 0.95f}, {0.78f, 0.78f, 0.78f},
    {0.63f, 0.63f, 0.63f}, {0.47f, 0.47f, 0.47f}, {0.33f, 0.33f, 0.33f}, {0.20f, 0.20f, 0.20f},
};
constexpr RgbPixel kChartSurround = {0.10f, 0.10f, 0.10f};

// The driver's default colour correction, as the image pipeline holds it (kCorrection in
// imaging/color_matrix.cpp): rows input red, green, blue; columns output red, green, blue;
// each column sums to 1. The simulated camera does not link the pipeline, so the values are
// repeated here, in the same single precision.
constexpr float kPipelineCorrection[3][3] = {
    {1.36f, -0.25f, -0.10f},
    {-0.22f, 1.40f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

// The pipeline corrects a pixel as the row vector (R, G, B) times that matrix C, on the
// samples as they are: no gamma anywhere, and the sensor's samples are linear in the light.
// A sensor whose samples are the light times C's inverse therefore comes out of the default
// pipeline as the light itself. Its weights are all positive (C's off-diagonal entries are
// negative and its diagonal dominates), and each photosite's weights sum to 1 because C's
// columns do. response[c][k] = inverse(C)[k][c], the inverse taken by its adjugate.
ColorResponse InvertPipelineCorrection() {
    double c[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            c[i][j] = kPipelineCorrection[i][j];
    }
    auto cofactor = [&](int i, int j) {
        const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
        return c[i1][j1] * c[i2][j2] - c[i1][j2] * c[i2][j1];
    };
    const double determinant =
        c[0][0] * cofactor(0, 0) + c[0][1] * cofactor(0, 1) + c[0][2] * cofactor(0, 2);
    ColorResponse response;
    // inverse(C)[k][c] = cofactor(c, k) / det, so response[c][k] = cofactor(c, k) / det.
    for (int colour = 0; colour < 3; ++colour) {
        for (int k = 0; k < 3; ++k)
            response.weight[colour][k] = cofactor(colour, k) / determinant;
    }
    return response;
}

enum class Kind { kBars, kChart, kZonePlate, kPicture };

Kind KindOf(const Scene& scene) {
    if (scene.name == "bars")
        return Kind::kBars;
    if (scene.name == "chart")
        return Kind::kChart;
    if (scene.name == "zoneplate")
        return Kind::kZonePlate;
    return Kind::kPicture;
}

bool EndsWithPng(const std::string& s) {
    if (s.size() < 4)
        return false;
    std::string tail = s.substr(s.size() - 4);
    for (auto& c : tail)
        c = char(std::tolower(uint8_t(c)));
    return tail == ".png";
}

// The fractional part, in [0, 1) for negative values too.
double Wrap(double v) {
    return v - std::floor(v);
}

RgbPixel Bars(double u, double time) {
    int bar = int(Wrap(u + 0.25 * time) * 8.0);
    return kBars[std::min(bar, 7)];
}

RgbPixel Chart(double u, double v) {
    constexpr double kBorder = 0.04;
    constexpr double kGap = 0.12;  // of a cell, split between its two sides
    double cu = (u - kBorder) / (1.0 - 2 * kBorder) * 6.0;
    double cv = (v - kBorder) / (1.0 - 2 * kBorder) * 4.0;
    if (cu < 0.0 || cv < 0.0 || cu >= 6.0 || cv >= 4.0)
        return kChartSurround;
    double fu = cu - std::floor(cu), fv = cv - std::floor(cv);
    if (fu < kGap / 2 || fu > 1.0 - kGap / 2 || fv < kGap / 2 || fv > 1.0 - kGap / 2) {
        return kChartSurround;
    }
    return kChart[int(cv) * 6 + int(cu)];
}

// The local frequency grows linearly with the distance from the centre and reaches half a
// cycle per pixel at half the smaller side: every frequency the sensor resolves, in every
// direction.
RgbPixel ZonePlate(int x, int y, int width, int height, double time) {
    double dx = x + 0.5 - width / 2.0, dy = y + 0.5 - height / 2.0;
    double scale = std::max(1, std::min(width, height));
    float v = float(0.5 + 0.5 * std::cos(kPi * (dx * dx + dy * dy) / scale - 2 * kPi * time));
    return {v, v, v};
}

uint8_t Quantise(float v) {
    if (!(v > 0.0f))
        return 0;  // NaN too
    if (v >= 1.0f)
        return 255;
    return uint8_t(std::floor(v * 255.0f + 0.5f));
}

}  // namespace

const ColorResponse& SensorColorResponse() {
    static const ColorResponse response = InvertPipelineCorrection();
    return response;
}

int BayerColorAt(int phase, int x, int y) {
    // [phase][row parity][column parity]
    static const int kColour[4][2][2] = {
        {{1, 0}, {2, 1}},  // GRBG
        {{2, 1}, {1, 0}},  // BGGR
        {{0, 1}, {1, 2}},  // RGGB
        {{1, 2}, {0, 1}},  // GBRG
    };
    if (phase < 0 || phase > 3)
        phase = kGBRG;
    return kColour[phase][y & 1][x & 1];
}

const std::vector<std::string>& BuiltInSceneNames() {
    static const std::vector<std::string> names = {"bars", "chart", "zoneplate"};
    return names;
}

bool LoadScene(const std::string& nameOrPngPath, Scene* scene, std::string* error) {
    *scene = Scene();
    const auto& names = BuiltInSceneNames();
    if (std::find(names.begin(), names.end(), nameOrPngPath) != names.end()) {
        scene->name = nameOrPngPath;
        return true;
    }
    if (!EndsWithPng(nameOrPngPath)) {
        *error = "unknown scene '" + nameOrPngPath + "' (bars, chart, zoneplate or a .png file)";
        return false;
    }

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, nameOrPngPath.c_str())) {
        *error = nameOrPngPath + ": " + image.message;
        return false;
    }
    // The header alone gives the size: a picture too large is refused before its pixels
    // are decoded into memory they could exhaust.
    if (image.width > kMaxPictureSide || image.height > kMaxPictureSide) {
        *error = nameOrPngPath + ": the picture is " + std::to_string(image.width) + " x " +
                 std::to_string(image.height) + "; a scene is at most " +
                 std::to_string(kMaxPictureSide) + " x " + std::to_string(kMaxPictureSide);
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> bytes(PNG_IMAGE_SIZE(image));
    if (image.width == 0 || image.height == 0 ||
        !png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) {
        *error = nameOrPngPath + ": " + (image.message[0] ? image.message : "empty picture");
        png_image_free(&image);
        return false;
    }
    scene->name = nameOrPngPath;
    RgbImage& p = scene->picture;
    p.width = int(image.width);
    p.height = int(image.height);
    p.pixels.resize(size_t(p.width) * size_t(p.height));
    for (size_t i = 0; i < p.pixels.size(); ++i) {
        p.pixels[i] = {bytes[3 * i] / 255.0f, bytes[3 * i + 1] / 255.0f, bytes[3 * i + 2] / 255.0f};
    }
    return true;
}

void RenderScene(const Scene& scene, int width, int height, const RenderOptions& options,
                 RgbImage* out) {
    if (width <= 0 || height <= 0)
        width = height = 0;
    out->width = width;
    out->height = height;
    out->pixels.resize(size_t(width) * size_t(height));
    Kind kind = KindOf(scene);
    const RgbImage& picture = scene.picture;
    const float gain = float(options.brightness);

    for (int y = 0; y < height; ++y) {
        double v = (y + 0.5) / height;
        for (int x = 0; x < width; ++x) {
            double u = (x + 0.5) / width;
            RgbPixel p;
            switch (kind) {
                case Kind::kBars:
                    p = Bars(u, options.time);
                    break;
                case Kind::kChart:
                    p = Chart(u, v);
                    break;
                case Kind::kZonePlate:
                    p = ZonePlate(x, y, width, height, options.time);
                    break;
                default: {
                    // A scene that was never loaded shows nothing.
                    if (picture.pixels.empty()) {
                        p = {0.0f, 0.0f, 0.0f};
                        break;
                    }
                    int px = int(int64_t(x) * picture.width / width);
                    int py = int(int64_t(y) * picture.height / height);
                    p = picture.at(px, py);
                    break;
                }
            }
            out->pixels[size_t(y) * size_t(width) + x] = {p.r * gain, p.g * gain, p.b * gain};
        }
    }
}

void MosaicBayer(const RgbImage& image, int phase, uint8_t* out, size_t pitch) {
    const auto& weight = SensorColorResponse().weight;
    for (int y = 0; y < image.height; ++y) {
        uint8_t* row = out + size_t(y) * pitch;
        for (int x = 0; x < image.width; ++x) {
            const RgbPixel& p = image.at(x, y);
            const double* w = weight[BayerColorAt(phase, x, y)];
            // Back to the scene's single precision before quantising, so the weights' last
            // bits of rounding cannot move a grey across a rounding boundary.
            row[x] = Quantise(float(w[0] * p.r + w[1] * p.g + w[2] * p.b));
        }
    }
}

void RenderBayer(const Scene& scene, int width, int height, int phase, const RenderOptions& options,
                 uint8_t* out, size_t pitch) {
    RgbImage image;
    RenderScene(scene, width, height, options, &image);
    MosaicBayer(image, phase, out, pitch);
}

}  // namespace sim
