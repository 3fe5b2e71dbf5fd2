#include "tests/imaging/reference.h"

#include <algorithm>
#include <cmath>

namespace reference {

namespace {

// Colour of the sample at (x, y): 0 red, 1 green, 2 blue.
int ColourAt(int32_t phase, uint32_t x, uint32_t y) {
    static const char* const kPatterns[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};
    const char* pattern = kPatterns[phase >= 0 && phase <= 2 ? phase : 3];
    char c = pattern[(y & 1) * 2 + (x & 1)];
    return c == 'R' ? 0 : c == 'G' ? 1 : 2;
}

// The raw image as the demosaic sees it: inside the image the samples themselves; around
// it, for images of at least 8 x 8, rows -2, -1, h, h + 1 repeat rows 2, 1, h - 4, h - 3
// and then columns -2, -1, w, w + 1 repeat columns 2, 1, w - 2, w - 3 of those rows;
// smaller images have zeros around them.
class Samples {
public:
    explicit Samples(const RawImage& raw) : raw_(raw) {}

    int operator()(int64_t y, int64_t x) const {
        const int64_t w = raw_.width, h = raw_.height;
        if (y < 0 || y >= h || x < 0 || x >= w) {
            if (w < 8 || h < 8)
                return 0;
            if (y == -2)
                y = 2;
            if (y == -1)
                y = 1;
            if (y == h)
                y = h - 4;
            if (y == h + 1)
                y = h - 3;
            if (x == -1)
                x = 1;
            if (x == -2)
                x = 2;
            if (x == w)
                x = w - 2;
            if (x == w + 1)
                x = w - 3;
        }
        return raw_.data[raw_.offset + uint64_t(y) * raw_.rowStep + uint64_t(x)];
    }

private:
    RawImage raw_;
};

int Scaled(int64_t sum, int shift) {
    int64_t v = (std::max<int64_t>(sum, 0) + (int64_t(1) << (shift - 1))) >> shift;
    return int(std::min<int64_t>(v, 255));
}

struct Rgb {
    int r, g, b;
};

Rgb Demosaic(const Samples& s, int32_t phase, int64_t y, int64_t x) {
    auto S = [&](int dr, int dc) { return int64_t(s(y + dr, x + dc)); };
    const int64_t centre = S(0, 0);
    const int64_t cross1 = S(-1, 0) + S(1, 0) + S(0, -1) + S(0, 1);
    const int64_t cross2 = S(-2, 0) + S(2, 0) + S(0, -2) + S(0, 2);
    const int64_t diag = S(-1, -1) + S(-1, 1) + S(1, -1) + S(1, 1);
    const int f1 = Scaled(4 * centre + 2 * cross1 - cross2, 3);
    const int f2 = Scaled(10 * centre + 8 * (S(0, -1) + S(0, 1)) - 2 * (S(0, -2) + S(0, 2)) -
                              2 * diag + (S(-2, 0) + S(2, 0)),
                          4);
    const int f3 = Scaled(10 * centre + 8 * (S(-1, 0) + S(1, 0)) - 2 * (S(-2, 0) + S(2, 0)) -
                              2 * diag + (S(0, -2) + S(0, 2)),
                          4);
    const int f4 = Scaled(12 * centre + 4 * diag - 3 * cross2, 4);

    const int colour = ColourAt(phase, uint32_t(x), uint32_t(y));
    // A row holds red when any of its samples is red.
    const bool redRow =
        ColourAt(phase, 0, uint32_t(y)) == 0 || ColourAt(phase, 1, uint32_t(y)) == 0;
    switch (colour) {
        case 0:
            return {int(centre), f1, f4};
        case 2:
            return {f4, f1, int(centre)};
        default:
            return redRow ? Rgb{f2, int(centre), f3} : Rgb{f3, int(centre), f2};
    }
}

int Balance(int v, uint32_t gain) {
    uint64_t x = (uint64_t(gain & 0xFFFF) * uint64_t(v)) >> 7;
    return int(std::min<uint64_t>(x, 255));
}

void MeasureGains(const Samples& s, const RawImage& raw, int32_t phase, uint32_t gains[3]) {
    uint64_t sum[3] = {0, 0, 0};
    for (uint32_t y = 0; y < raw.height; ++y) {
        for (uint32_t x = 0; x < raw.width; ++x) {
            Rgb p = Demosaic(s, phase, y, x);
            sum[0] += p.r;
            sum[1] += p.g;
            sum[2] += p.b;
        }
    }
    // Nothing to balance against: keep what the pipeline holds.
    if (sum[0] == 0 || sum[1] == 0 || sum[2] == 0)
        return;
    double d = (double(sum[1]) + double(sum[0])) + double(sum[2]);
    double e = (d / double(sum[1])) / 3.0;
    double red = ((d / double(sum[0])) / 3.0 * 128.0) / e;
    double blue = ((d / double(sum[2])) / 3.0 * 128.0) / e;
    gains[0] = uint32_t(std::min(std::trunc(red), 65535.0));
    gains[1] = 128;
    gains[2] = uint32_t(std::min(std::trunc(blue), 65535.0));
}

}  // namespace

Result ProcessFrame(const RawImage& raw, const Settings& settings) {
    Result result;
    Samples s(raw);
    std::copy(settings.gains, settings.gains + 3, result.gains);
    if (settings.autoWhiteBalance)
        MeasureGains(s, raw, settings.phase, result.gains);

    result.image.resize(size_t(raw.width) * raw.height * 4);
    uint8_t* out = result.image.data();
    for (uint32_t y = 0; y < raw.height; ++y) {
        for (uint32_t x = 0; x < raw.width; ++x, out += 4) {
            Rgb p = Demosaic(s, settings.phase, y, x);
            const int in[3] = {Balance(p.r, result.gains[0]), Balance(p.g, result.gains[1]),
                               Balance(p.b, result.gains[2])};
            int channel[3];
            if (!settings.color) {
                int luma = ((77 * in[0]) >> 8) + ((150 * in[1]) >> 8) + ((29 * in[2]) >> 8);
                channel[0] = channel[1] = channel[2] = luma;
            } else {
                for (int j = 0; j < 3; ++j) {
                    // Positive and negative parts summed apart, in unbounded integers.
                    int64_t positive = 0, negative = 0;
                    for (int i = 0; i < 4; ++i) {
                        int32_t m = settings.matrix[i * 4 + j];
                        int64_t magnitude = std::llabs(int64_t(m)) & 0xFFFF;
                        int64_t term = magnitude * (i < 3 ? in[i] : 1);
                        (m > 0 ? positive : negative) += term;
                    }
                    int64_t v = (positive >> 6) - (negative >> 6);
                    channel[j] = int(std::clamp<int64_t>(v, 0, 255));
                }
            }
            out[0] = uint8_t(channel[2]);
            out[1] = uint8_t(channel[1]);
            out[2] = uint8_t(channel[0]);
            out[3] = 255;
        }
    }
    return result;
}

namespace {

using Matrix = double[4][4];

void Identity(Matrix m) {
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            m[i][j] = i == j;
    }
}

// m := m x e
void PostMultiply(Matrix m, const Matrix e) {
    Matrix t;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t[i][j] =
                ((m[i][0] * e[0][j] + m[i][1] * e[1][j]) + m[i][2] * e[2][j]) + m[i][3] * e[3][j];
        }
    }
    std::copy(&t[0][0], &t[0][0] + 16, &m[0][0]);
}

float Factor(int32_t value) {
    return (float(std::min(value, 20)) - 10.0f) * 0.1f + 1.0f;
}

}  // namespace

void FixedMatrix(int32_t colorCorrection, int32_t brightness, int32_t contrast, int32_t saturation,
                 int32_t hue, int32_t out[16]) {
    const double wr = 0.3086f, wg = 0.6094f, wb = 0.0820f;

    Matrix correction;
    Identity(correction);
    if (colorCorrection != 0) {
        const float c[3][3] = {
            {1.36f, -0.25f, -0.10f}, {-0.22f, 1.40f, -0.32f}, {-0.14f, -0.15f, 1.42f}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                correction[i][j] = c[i][j];
        }
    }

    Matrix bright;
    Identity(bright);
    double o = double(std::min(brightness, 510)) - 255.0;
    bright[3][0] = bright[3][1] = bright[3][2] = o;

    Matrix contr;
    Identity(contr);
    double k = Factor(contrast);
    double t = k * -128.0 + 128.0;
    contr[0][0] = contr[1][1] = contr[2][2] = k;
    contr[3][0] = contr[3][1] = contr[3][2] = t;

    Matrix sat;
    Identity(sat);
    double s = Factor(saturation), u = 1.0 - s;
    const double w[3] = {wr, wg, wb};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            sat[i][j] = w[i] * u + (i == j ? s : 0.0);
    }
    // (w * u) + 0.0 is w * u exactly, so the off-diagonal entries match too.

    Matrix h;
    Identity(h);
    const double r2 = std::sqrt(2.0f), r3 = std::sqrt(3.0f);
    auto rotX = [&](double sn, double cs) {
        Matrix e;
        Identity(e);
        e[1][1] = cs, e[1][2] = sn, e[2][1] = -sn, e[2][2] = cs;
        PostMultiply(h, e);
    };
    auto rotY = [&](double sn, double cs) {
        Matrix e;
        Identity(e);
        e[0][0] = cs, e[0][2] = -sn, e[2][0] = sn, e[2][2] = cs;
        PostMultiply(h, e);
    };
    auto shear = [&](double x, double y) {
        Matrix e;
        Identity(e);
        e[0][2] = x, e[1][2] = y;
        PostMultiply(h, e);
    };
    rotX(1.0 / r2, 1.0 / r2);
    rotY(-1.0 / r3, r2 / r3);
    double l[3];
    for (int j = 0; j < 3; ++j)
        l[j] = ((wg * h[1][j] + wr * h[0][j]) + wb * h[2][j]) + h[3][j];
    const double zx = l[0] / l[2], zy = l[1] / l[2];
    shear(zx, zy);
    float theta = (float(hue) * 3.14159265358979f) / 180.0f;
    double sn = float(std::sin(double(theta))), cs = float(std::cos(double(theta)));
    Matrix rz;
    Identity(rz);
    rz[0][0] = cs, rz[0][1] = sn, rz[1][0] = -sn, rz[1][1] = cs;
    PostMultiply(h, rz);
    shear(-zx, -zy);
    rotY(1.0 / r3, r2 / r3);
    rotX(-1.0 / r2, 1.0 / r2);

    // Hue x Saturation x Brightness x Contrast x Correction, built up from the right:
    // each step puts the next matrix in front.
    Matrix combined;
    std::copy(&correction[0][0], &correction[0][0] + 16, &combined[0][0]);
    for (auto* front : {&contr, &bright, &sat, &h}) {
        Matrix f;
        std::copy(&(*front)[0][0], &(*front)[0][0] + 16, &f[0][0]);
        PostMultiply(f, combined);
        std::copy(&f[0][0], &f[0][0] + 16, &combined[0][0]);
    }
    for (int i = 0; i < 16; ++i) {
        double x = combined[i / 4][i % 4] * 64.0;
        x = x >= 0.0 ? x + 0.5 : x - 0.5;
        out[i] = int32_t(x);
    }
}

}  // namespace reference
