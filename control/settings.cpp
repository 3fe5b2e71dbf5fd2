// Sensor settings: the register map of each setting, the camera's start-up sequence and the
// settings that the image pipeline takes over while a stream is open.
#include "control/settings.h"

#include "imaging/image_pipeline.h"
#include "usb/command_packets.h"
#include "usb/frame_read.h"
#include "usb/register_access.h"

namespace {

constexpr ULONG kExposureRegister = 0x9A;
constexpr ULONG kGlobalGainRegister = 4;
constexpr ULONG kTriggerRegister = 11;  // both a control and a sensor register
constexpr ULONG kClockRegister = 15;    // control register; always written with 3
constexpr UCHAR kClockSelection = 3;
constexpr UCHAR kTriggerStatusBit = 0x10;

constexpr ULONG kRawFrameSize = 325632;  // 159 x 2048: the 656 x 494 frame rounded up

struct ForwardedRule {
    LONG DeviceContext::*field;
    LONG low;
    LONG high;
    BOOLEAN clamped;
    void (*set)(ImagePipeline*, LONG);
    LONG (*get)(ImagePipeline*);
};

// Indexed by Forwarded. The change-detecting pipeline setters rebuild their matrix only when
// the value differs; the others are plain exchanges.
const ForwardedRule kForwarded[] = {
    {&DeviceContext::ColorEnable, 0, 0, FALSE, SetColorEnable, GetColorEnable},
    {&DeviceContext::WhiteBalance, 0, 0, FALSE, SetWhiteBalanceAuto, GetWhiteBalanceAuto},
    {&DeviceContext::RedGain, 1, 512, TRUE, SetRedGain, GetRedGain},
    {&DeviceContext::GreenGain, 1, 512, TRUE, SetGreenGain, GetGreenGain},
    {&DeviceContext::BlueGain, 1, 512, TRUE, SetBlueGain, GetBlueGain},
    {&DeviceContext::ColorCorrection, 0, 0, FALSE, SetColorCorrection, GetColorCorrection},
    {&DeviceContext::Brightness, 0, 510, TRUE, SetBrightness, GetBrightness},
    {&DeviceContext::Contrast, 0, 20, TRUE, SetContrast, GetContrast},
    {&DeviceContext::Saturation, 0, 20, TRUE, SetSaturation, GetSaturation},
    {&DeviceContext::Hue, 0, 359, TRUE, SetHue, GetHue},
};
static_assert(RTL_NUMBER_OF(kForwarded) == ULONG(Forwarded::Hue) + 1, "one rule per setting");

const ForwardedRule& RuleOf(Forwarded setting) {
    return kForwarded[ULONG(setting)];
}

}  // namespace

BOOLEAN WriteControlRegister(DeviceContext* context, ULONG reg, ULONG value) {
    const UCHAR bytes[] = {kCommandWriteControlRegister, UCHAR(reg), UCHAR(value)};
    return SendCommand(context, bytes, sizeof(bytes));
}

BOOLEAN ReadControlRegister(DeviceContext* context, ULONG reg, UCHAR* value) {
    const UCHAR bytes[] = {kCommandReadControlRegister, UCHAR(reg)};
    return QueryCommand(context, bytes, sizeof(bytes), value);
}

BOOLEAN ReadMemoryByte(DeviceContext* context, UCHAR* value) {
    ULONG address = ULONG(context->SelectedAddress);
    const UCHAR bytes[] = {
        kCommandReadMemoryByte, 0x51, 0x02, 0x01, UCHAR(address >> 8), UCHAR(address),
    };
    return QueryCommand(context, bytes, sizeof(bytes), value);
}

BOOLEAN InitializeCamera(DeviceContext* context) {
    // The capture worker reads the geometry while a reinitialisation may rewrite it.
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&context->RawOrigin), 0);
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&context->RawPitch), LONG(kSensorWidth));
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&context->RawFrameSize),
                        LONG(kRawFrameSize));

    WriteControlRegister(context, 0, 0);
    WriteControlRegister(context, 1, 248);
    WriteControlRegister(context, 2, 4);
    WriteControlRegister(context, 3, 0);
    WriteControlRegister(context, 32, 1);
    const UCHAR startUp[] = {kCommandStartUp, 0x01};
    SendOwnPacket(context, startUp, sizeof(startUp));
    WriteControlRegister(context, 14, 0);
    WriteControlRegister(context, kClockRegister, kClockSelection);

    SetTriggerMode(context, context->ExTrigger != 0);
    SetExposure(context, context->Exposure);
    BOOLEAN gainWritten = SetGlobalGain(context, context->GlobalGain);
    context->BayerPhase = context->SensorBayerPhase;
    return gainWritten;
}

BOOLEAN SetExposure(DeviceContext* context, LONG value) {
    value = ClampUnsigned(value, 2, 524);
    WriteSensorRegister(context, kExposureRegister, ULONG(value));
    context->Exposure = value;
    return TRUE;
}

BOOLEAN SetGlobalGain(DeviceContext* context, LONG value) {
    value = ClampUnsigned(value, 0, 1023);
    BOOLEAN written = WriteSensorRegister(context, kGlobalGainRegister, ULONG(value));
    if (written)
        context->GlobalGain = value;
    return written;
}

BOOLEAN SetTriggerMode(DeviceContext* context, BOOLEAN on) {
    LONG flag = on ? 1 : 0;
    BOOLEAN written = WriteControlRegister(context, kTriggerRegister, ULONG(flag)) &&
                      WriteSensorRegister(context, kTriggerRegister, ULONG(flag));
    if (written)
        context->ExTrigger = flag;
    return written;
}

LONG GetTriggerMode(DeviceContext* context) {
    const UCHAR bytes[] = {kCommandQueryTriggerStatus};
    UCHAR status = 0;
    if (!QueryCommand(context, bytes, sizeof(bytes), &status))
        return 0;
    context->ExTrigger = (status & kTriggerStatusBit) ? 1 : 0;
    return context->ExTrigger;
}

BOOLEAN SetClock(DeviceContext* context, LONG value) {
    if (!WriteControlRegister(context, kClockRegister, kClockSelection))
        return FALSE;
    InitializeCamera(context);
    context->Clock = value;
    return TRUE;
}

LONG GetClock(DeviceContext* context) {
    UCHAR selection = 0;
    if (ReadControlRegister(context, kClockRegister, &selection))
        context->Clock = selection == kClockSelection ? 2 : selection;
    return context->Clock;
}

void SetTimeout(DeviceContext* context, LONG value) {
    context->Timeout = value;
    InterlockedExchange(&FrameTimeout, value);
}

void SetWhiteBalance(DeviceContext* context, LONG value) {
    context->WhiteBalance = value;
    ImagePipeline* pipeline = context->ImagePipeline;
    if (!pipeline)
        return;
    SetWhiteBalanceAuto(pipeline, value);
    if (value != 0)
        return;
    // The measured gains can exceed what a manual gain may be; clamp them like any gain set,
    // so the gains reported, applied and saved are one and the same.
    SetForwarded(context, Forwarded::RedGain, GetRedGain(pipeline));
    SetForwarded(context, Forwarded::GreenGain, GetGreenGain(pipeline));
    SetForwarded(context, Forwarded::BlueGain, GetBlueGain(pipeline));
}

LONG ClampForwarded(Forwarded setting, LONG value) {
    const ForwardedRule& rule = RuleOf(setting);
    if (!rule.clamped)
        return value;
    return value < rule.low ? rule.low : value > rule.high ? rule.high : value;
}

void SetForwarded(DeviceContext* context, Forwarded setting, LONG value) {
    if (setting == Forwarded::WhiteBalance) {
        SetWhiteBalance(context, value);
        return;
    }
    const ForwardedRule& rule = RuleOf(setting);
    value = ClampForwarded(setting, value);
    context->*rule.field = value;
    if (ImagePipeline* pipeline = context->ImagePipeline)
        rule.set(pipeline, value);
}

LONG GetForwarded(DeviceContext* context, Forwarded setting) {
    const ForwardedRule& rule = RuleOf(setting);
    if (ImagePipeline* pipeline = context->ImagePipeline)
        context->*rule.field = rule.get(pipeline);
    return context->*rule.field;
}
