// The pipeline record: creation, the settings slots, and the frame geometry with its padded
// raw buffer.
#include "driver/pool_tags.h"
#include "imaging/image_pipeline.h"

namespace {

LONG ReadSlot(volatile LONG* slot) {
    return InterlockedCompareExchange(slot, 0, 0);
}

// Stores the value and reports whether it changed.
bool ExchangeIfChanged(volatile LONG* slot, LONG value) {
    if (ReadSlot(slot) == value)
        return false;
    InterlockedExchange(slot, value);
    return true;
}

}  // namespace

ImagePipeline* CreateImagePipeline() {
    auto* p = static_cast<ImagePipeline*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImagePipeline), kTagPipeline));
    if (!p)
        return nullptr;
    memset(p, 0, sizeof(*p));
    p->redGain = p->greenGain = p->blueGain = 128;
    p->contrast = 10;
    p->saturation = 10;
    p->bayerPhase = 0;
    p->colorEnable = 1;
    p->whiteBalanceAuto = 0;
    p->colorCorrection = 1;
    p->brightness = 255;
    p->hue = 0;
    PipelineInitialize(p);
    return p;
}

void DestroyImagePipeline(ImagePipeline* p) {
    if (!p)
        return;
    ReleaseRawBuffer(p);
    ExFreePoolWithTag(p, kTagPipeline);
}

void SetColorCorrection(ImagePipeline* p, LONG value) {
    if (ExchangeIfChanged(&p->colorCorrection, value))
        BuildColorCorrectionMatrix(p, value);
}
void SetBrightness(ImagePipeline* p, LONG value) {
    if (ExchangeIfChanged(&p->brightness, value))
        BuildBrightnessMatrix(p, value);
}
void SetContrast(ImagePipeline* p, LONG value) {
    if (ExchangeIfChanged(&p->contrast, value))
        BuildContrastMatrix(p, value);
}
void SetSaturation(ImagePipeline* p, LONG value) {
    if (ExchangeIfChanged(&p->saturation, value))
        BuildSaturationMatrix(p, value);
}
void SetHue(ImagePipeline* p, LONG value) {
    if (ExchangeIfChanged(&p->hue, value))
        BuildHueMatrix(p, value);
}

void SetBayerPhase(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->bayerPhase, value);
}
void SetColorEnable(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->colorEnable, value);
}
void SetWhiteBalanceAuto(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->whiteBalanceAuto, value);
}
void SetRedGain(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->redGain, value);
}
void SetGreenGain(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->greenGain, value);
}
void SetBlueGain(ImagePipeline* p, LONG value) {
    InterlockedExchange(&p->blueGain, value);
}

LONG GetBayerPhase(ImagePipeline* p) {
    return ReadSlot(&p->bayerPhase);
}
LONG GetColorEnable(ImagePipeline* p) {
    return ReadSlot(&p->colorEnable);
}
LONG GetWhiteBalanceAuto(ImagePipeline* p) {
    return ReadSlot(&p->whiteBalanceAuto);
}
LONG GetRedGain(ImagePipeline* p) {
    return ReadSlot(&p->redGain);
}
LONG GetGreenGain(ImagePipeline* p) {
    return ReadSlot(&p->greenGain);
}
LONG GetBlueGain(ImagePipeline* p) {
    return ReadSlot(&p->blueGain);
}
LONG GetColorCorrection(ImagePipeline* p) {
    return ReadSlot(&p->colorCorrection);
}
LONG GetBrightness(ImagePipeline* p) {
    return ReadSlot(&p->brightness);
}
LONG GetContrast(ImagePipeline* p) {
    return ReadSlot(&p->contrast);
}
LONG GetSaturation(ImagePipeline* p) {
    return ReadSlot(&p->saturation);
}
LONG GetHue(ImagePipeline* p) {
    return ReadSlot(&p->hue);
}

// Two rows and two columns of margin on every side; the pitch leaves room for the 16-byte
// reads of a row's last block, and an odd height gets one more row.
void SetFrameSize(ImagePipeline* p, ULONG width, ULONG height) {
    p->width = width;
    p->height = height;
    ULONGLONG pitch = (ULONGLONG(width) + 16) / 16 * 16 + 11;
    ULONGLONG size = (ULONGLONG(height) + (height & 1) + 4) * pitch;
    if (size > 0xFFFFFFFFull) {
        p->rawPitch = 0;
        p->rawBufferSize = 0;
        return;
    }
    p->rawPitch = ULONG(pitch);
    p->rawBufferSize = ULONG(size);
}

void ReleaseRawBuffer(ImagePipeline* p) {
    if (p->rawBuffer) {
        ExFreePoolWithTag(p->rawBuffer, kTagFrameBuffer);
        p->rawBuffer = nullptr;
    }
}

// The buffer starts zeroed: frames too small to get their margins filled (under 8 columns
// or rows) then read zeros there, the same for every frame, and the bytes beyond the
// right margin that the last block of a row reads are never uninitialised.
NTSTATUS AllocateRawBuffer(ImagePipeline* p) {
    ReleaseRawBuffer(p);
    if (p->rawBufferSize == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, p->rawBufferSize, kTagFrameBuffer));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(buffer, 0, p->rawBufferSize);
    p->rawBuffer = buffer;
    p->imageOrigin = buffer + 2 * p->rawPitch + 5;
    p->framePitch = LONG(p->rawPitch);
    p->frameWidth = p->width;
    p->frameHeight = p->height;
    return STATUS_SUCCESS;
}
