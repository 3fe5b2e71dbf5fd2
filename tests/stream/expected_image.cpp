#include "tests/stream/expected_image.h"

#include <cstring>

#include "driver/camera_ops.h"
#include "imaging/image_pipeline.h"

std::vector<uint8_t> ExpectedImage(const DeviceContext& c, const std::vector<uint8_t>& raw,
                                   ImagePipeline* settings, bool flipH, bool flipV, ULONG stride) {
    ImagePipeline* p = CreateImagePipeline();
    if (settings) {
        auto slot = [](volatile LONG* cell) { return InterlockedCompareExchange(cell, 0, 0); };
        SetWhiteBalanceAuto(p, slot(&settings->whiteBalanceAuto));
        SetColorEnable(p, slot(&settings->colorEnable));
        SetRedGain(p, slot(&settings->redGain));
        SetGreenGain(p, slot(&settings->greenGain));
        SetBlueGain(p, slot(&settings->blueGain));
        SetColorCorrection(p, slot(&settings->colorCorrection));
        SetBrightness(p, slot(&settings->brightness));
        SetContrast(p, slot(&settings->contrast));
        SetSaturation(p, slot(&settings->saturation));
        SetHue(p, slot(&settings->hue));
    }
    SetBayerPhase(p, c.SensorBayerPhase);
    SetFrameSize(p, ULONG(c.RoiW), ULONG(c.RoiH));
    std::vector<uint8_t> image(size_t(c.RoiW) * c.RoiH * 4);
    if (AllocateRawBuffer(p) == STATUS_SUCCESS && raw.size() >= 656u * 494u) {
        p->outputBuffer = image.data();
        ProcessRawFrame(p, raw.data(), ULONG(c.RoiY * 656 + c.RoiX), 656);
        p->outputBuffer = nullptr;
    }
    DestroyImagePipeline(p);

    ULONG w = ULONG(c.OutputWidth), h = ULONG(c.OutputHeight);
    ULONG step = stride > w * 4 ? stride : w * 4;
    std::vector<uint8_t> out(size_t(step) * (h - 1) + w * 4, 0xEE);
    for (ULONG row = 0; row < h; ++row) {
        const uint8_t* src = image.data() + size_t(flipV ? row : h - 1 - row) * c.RoiW * 4;
        for (ULONG i = 0; i < w; ++i)
            memcpy(&out[size_t(row) * step + (flipH ? w - 1 - i : i) * 4], src + i * 4, 4);
    }
    return out;
}
