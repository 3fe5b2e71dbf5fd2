// The colour matrices: one per setting, their product, and its fixed-point form that the
// conversion applies to every pixel. Single-precision constants and steps stay single, the
// rest is double, in exactly the order written: the fixed matrix is compared bit for bit.
#include "imaging/image_pipeline.h"
#include "imaging/rounded_trig.h"

namespace {

// Luminance weights of the colour rotation and the saturation matrix.
constexpr float kWeightRed = 0.3086f;
constexpr float kWeightGreen = 0.6094f;
constexpr float kWeightBlue = 0.0820f;
constexpr float kPiSingle = 3.14159265358979f;

// Rows: input red, green, blue; columns: output red, green, blue. Each column sums to 1.
constexpr float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.10f},
    {-0.22f, 1.40f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

void SetIdentity(ColorMatrix m) {
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            m[i][j] = i == j ? 1.0 : 0.0;
    }
}

// result = b x a, each sum taken in column order; result may be either operand.
void MatrixMultiply(const ColorMatrix a, const ColorMatrix b, ColorMatrix result) {
    ColorMatrix t;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t[i][j] =
                ((b[i][0] * a[0][j] + b[i][1] * a[1][j]) + b[i][2] * a[2][j]) + b[i][3] * a[3][j];
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            result[i][j] = t[i][j];
    }
}

// The elementary steps of the hue rotation, each post-multiplied onto m.
void RotateAboutX(ColorMatrix m, double sine, double cosine) {
    ColorMatrix e;
    SetIdentity(e);
    e[1][1] = cosine;
    e[1][2] = sine;
    e[2][1] = -sine;
    e[2][2] = cosine;
    MatrixMultiply(e, m, m);
}

void RotateAboutY(ColorMatrix m, double sine, double cosine) {
    ColorMatrix e;
    SetIdentity(e);
    e[0][0] = cosine;
    e[0][2] = -sine;
    e[2][0] = sine;
    e[2][2] = cosine;
    MatrixMultiply(e, m, m);
}

void ShearZ(ColorMatrix m, double x, double y) {
    ColorMatrix e;
    SetIdentity(e);
    e[0][2] = x;
    e[1][2] = y;
    MatrixMultiply(e, m, m);
}

void RotateAboutZ(ColorMatrix m, double sine, double cosine) {
    ColorMatrix e;
    SetIdentity(e);
    e[0][0] = cosine;
    e[0][1] = sine;
    e[1][0] = -sine;
    e[1][1] = cosine;
    MatrixMultiply(e, m, m);
}

// Halves round away from zero. Out-of-range values (only reachable through settings far
// outside their ranges) saturate instead of making the conversion undefined.
LONG ToFixed(double entry) {
    double x = entry * 64.0;
    if (x >= 0.0) {
        x = x + 0.5;
    } else {
        x = x - 0.5;
    }
    if (x != x)
        return 0;
    if (x >= 2147483647.0)
        return 0x7FFFFFFF;
    if (x <= -2147483648.0)
        return LONG(0x80000000u);
    return LONG(x);
}

// (min(value, 20) - 10) / 10 + 1 in single precision: 0 .. 2, 1 neutral.
float Factor(LONG value) {
    if (value > 20)
        value = 20;
    return (float(value) - 10.0f) * 0.1f + 1.0f;
}

// Needs the matrix lock and a critical region held.
void RecomputeColorMatrixLocked(ImagePipeline* p) {
    MatrixMultiply(p->identityMatrix, p->colorCorrectionMatrix, p->combinedMatrix);
    MatrixMultiply(p->combinedMatrix, p->contrastMatrix, p->combinedMatrix);
    MatrixMultiply(p->combinedMatrix, p->brightnessMatrix, p->combinedMatrix);
    MatrixMultiply(p->combinedMatrix, p->saturationMatrix, p->combinedMatrix);
    MatrixMultiply(p->combinedMatrix, p->hueMatrix, p->combinedMatrix);
    for (int k = 0; k < 16; ++k)
        p->fixedMatrix[k] = ToFixed(p->combinedMatrix[k / 4][k % 4]);
}

// Rebuilds run under the matrix lock, inside a critical region, so concurrent rebuilds and
// the per-frame copy of fixedMatrix see all of a rebuild or none of it.
class MatrixLock {
public:
    explicit MatrixLock(ImagePipeline* p) : p_(p) {
        KeEnterCriticalRegion();
        irql_ = KeAcquireSpinLockRaiseToDpc(&p_->matrixLock);
    }
    ~MatrixLock() {
        KeReleaseSpinLock(&p_->matrixLock, irql_);
        KeLeaveCriticalRegion();
    }
    MatrixLock(const MatrixLock&) = delete;
    MatrixLock& operator=(const MatrixLock&) = delete;

private:
    ImagePipeline* p_;
    KIRQL irql_;
};

}  // namespace

void PipelineInitialize(ImagePipeline* p) {
    KeInitializeSpinLock(&p->matrixLock);
    MatrixLock lock(p);
    SetIdentity(p->identityMatrix);
    SetIdentity(p->brightnessMatrix);
    SetIdentity(p->contrastMatrix);
    SetIdentity(p->saturationMatrix);
    SetIdentity(p->hueMatrix);
    SetIdentity(p->combinedMatrix);
    SetIdentity(p->colorCorrectionMatrix);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            p->colorCorrectionMatrix[i][j] = kCorrection[i][j];
    }
    RecomputeColorMatrixLocked(p);
}

void BuildColorCorrectionMatrix(ImagePipeline* p, LONG value) {
    MatrixLock lock(p);
    SetIdentity(p->colorCorrectionMatrix);
    if (value != 0) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                p->colorCorrectionMatrix[i][j] = kCorrection[i][j];
        }
    }
    RecomputeColorMatrixLocked(p);
}

void BuildBrightnessMatrix(ImagePipeline* p, LONG value) {
    MatrixLock lock(p);
    double offset = double(value > 510 ? 510 : value) - 255.0;
    ColorMatrix m;
    SetIdentity(m);
    m[3][0] = m[3][1] = m[3][2] = offset;
    ColorMatrix identity;
    SetIdentity(identity);
    MatrixMultiply(m, identity, p->brightnessMatrix);
    RecomputeColorMatrixLocked(p);
}

void BuildContrastMatrix(ImagePipeline* p, LONG value) {
    MatrixLock lock(p);
    double k = Factor(value);
    double t = k * -128.0 + 128.0;
    ColorMatrix& m = p->contrastMatrix;
    SetIdentity(m);
    m[0][0] = m[1][1] = m[2][2] = k;
    m[3][0] = m[3][1] = m[3][2] = t;
    RecomputeColorMatrixLocked(p);
}

void BuildSaturationMatrix(ImagePipeline* p, LONG value) {
    MatrixLock lock(p);
    double s = Factor(value);
    double u = 1.0 - s;
    const double weights[3] = {kWeightRed, kWeightGreen, kWeightBlue};
    ColorMatrix& m = p->saturationMatrix;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double w = weights[i] * u;
            m[i][j] = i == j ? w + s : w;
        }
    }
    RecomputeColorMatrixLocked(p);
}

// A rotation about the grey axis that keeps luminance: turn the grey axis onto z, shear so
// that the luminance plane is level, rotate about z, and undo the first two steps.
void BuildHueMatrix(ImagePipeline* p, LONG value) {
    MatrixLock lock(p);
    ColorMatrix& h = p->hueMatrix;
    SetIdentity(h);
    double r2 = __builtin_sqrtf(2.0f);
    double r3 = __builtin_sqrtf(3.0f);
    RotateAboutX(h, 1.0 / r2, 1.0 / r2);
    RotateAboutY(h, -1.0 / r3, r2 / r3);

    double l[3];
    for (int j = 0; j < 3; ++j) {
        l[j] = ((double(kWeightGreen) * h[1][j] + double(kWeightRed) * h[0][j]) +
                double(kWeightBlue) * h[2][j]) +
               h[3][j];
    }
    double zx = l[0] / l[2];
    double zy = l[1] / l[2];
    ShearZ(h, zx, zy);

    float theta = (float(value) * kPiSingle) / 180.0f;
    RotateAboutZ(h, RoundedSine(theta), RoundedCosine(theta));

    ShearZ(h, -zx, -zy);
    RotateAboutY(h, 1.0 / r3, r2 / r3);
    RotateAboutX(h, -1.0 / r2, 1.0 / r2);
    RecomputeColorMatrixLocked(p);
}

void SnapshotFixedMatrix(ImagePipeline* p) {
    MatrixLock lock(p);
    for (int k = 0; k < 16; ++k) {
        p->positiveFlags[k] = p->fixedMatrix[k] > 0 ? 1 : 0;
        p->frameMatrix[k] = p->fixedMatrix[k];
    }
}
