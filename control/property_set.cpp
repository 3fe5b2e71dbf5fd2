// The camera property set: one row of data per item, served by a handful of handlers. Each
// handler finds the device through the filter the request addresses, so a request that lost
// its filter or device fails instead of touching another camera.
#include "control/property_set.h"

#include "control/region_of_interest.h"
#include "control/settings.h"
#include "control/settings_store.h"
#include "usb/command_packets.h"
#include "usb/register_access.h"

const GUID CameraPropertySetId = {STATIC_PROPSETID_CameraProperties};

namespace {

// What a get or a set of one item does.
enum class Action : UCHAR {
    None,            // the direction has no handler
    Constant,        // get: `argument`
    Field,           // get: the setting at `argument` (an offset in DeviceContext)
    AtomicField,     // get: the same, read with an interlocked operation
    Forwarded,       // get/set: the forwarded setting `argument`, with its clamp
    Nothing,         // set: accepted, changes nothing
    TriggerMode,     // get: GetTriggerMode; set: SetTriggerMode
    Timeout,         // set: only above 500, compared as unsigned
    Exposure,        // set: SetExposure
    GlobalGain,      // set: SetGlobalGain
    Flip,            // set: interlocked exchange into the field at `argument`
    Clock,           // get: GetClock; set: SetClock
    Fails,           // get: STATUS_UNSUCCESSFUL
    SensorRegister,  // set: WriteSensorRegister(Value, Second); its failure is reported
    RegisterShadow,  // get: the shadow at SelectedAddress
    SelectAddress,   // set: SelectedAddress := Value
    RawCommand,      // set: command 0x40 with the caller's bytes
    ReadByte,        // get: ReadMemoryByte into Bytes[0]
    Roi,             // set: SetRegionOfInterest
    Reinitialize,    // set: ResetCamera
};

struct Behaviour {
    Action get;
    Action set;
    LONG argument;
};

#define FIELD(name) LONG(offsetof(DeviceContext, name))
#define FORWARDED(name) LONG(Forwarded::name)

// Indexed by item identifier.
const Behaviour kBehaviour[kCameraPropertyCount] = {
    {Action::TriggerMode, Action::TriggerMode, 0},           // ExTrigger
    {Action::Field, Action::Timeout, FIELD(Timeout)},        // Timeout
    {Action::Field, Action::Exposure, FIELD(Exposure)},      // Exposure
    {Action::Constant, Action::None, 2},                     // ExposureMin
    {Action::Constant, Action::None, 524},                   // ExposureMax
    {Action::Constant, Action::None, 2},                     // ExposureDefault
    {Action::Field, Action::GlobalGain, FIELD(GlobalGain)},  // GlobalGain
    {Action::Constant, Action::None, 0},                     // GlobalGainMin
    {Action::Constant, Action::None, 1023},                  // GlobalGainMax
    {Action::Constant, Action::None, 310},                   // GlobalGainDefault
    {Action::AtomicField, Action::Flip, FIELD(FlipH)},       // FlipH
    {Action::AtomicField, Action::Flip, FIELD(FlipV)},       // FlipV
    {Action::Forwarded, Action::Forwarded, FORWARDED(ColorEnable)},
    {Action::Forwarded, Action::Forwarded, FORWARDED(WhiteBalance)},
    {Action::Forwarded, Action::Forwarded, FORWARDED(RedGain)},
    {Action::Forwarded, Action::Forwarded, FORWARDED(GreenGain)},
    {Action::Forwarded, Action::Forwarded, FORWARDED(BlueGain)},
    {Action::Constant, Action::None, 1},    // ColorGainMin
    {Action::Constant, Action::None, 512},  // ColorGainMax
    {Action::Constant, Action::None, 128},  // ColorGainDefault
    {Action::Forwarded, Action::Forwarded, FORWARDED(Brightness)},
    {Action::Constant, Action::None, 0},    // BrightnessMin
    {Action::Constant, Action::None, 510},  // BrightnessMax
    {Action::Constant, Action::None, 255},  // BrightnessDefault
    {Action::Forwarded, Action::Forwarded, FORWARDED(Contrast)},
    {Action::Constant, Action::None, 0},   // ContrastMin
    {Action::Constant, Action::None, 20},  // ContrastMax
    {Action::Constant, Action::None, 10},  // ContrastDefault
    {Action::Forwarded, Action::Forwarded, FORWARDED(Saturation)},
    {Action::Constant, Action::None, 0},   // SaturationMin
    {Action::Constant, Action::None, 20},  // SaturationMax
    {Action::Constant, Action::None, 10},  // SaturationDefault
    {Action::Forwarded, Action::Forwarded, FORWARDED(Hue)},
    {Action::Constant, Action::None, 0},                  // HueMin
    {Action::Constant, Action::None, 359},                // HueMax
    {Action::Constant, Action::None, 0},                  // HueDefault
    {Action::Constant, Action::None, 0},                  // Reserved36
    {Action::Field, Action::None, FIELD(SubSample)},      // SubSample
    {Action::Constant, Action::None, kSensorWidth},       // SensorWidth
    {Action::Constant, Action::None, kSensorHeight},      // SensorHeight
    {Action::Field, Action::None, FIELD(WindowX)},        // WindowX
    {Action::Field, Action::None, FIELD(WindowY)},        // WindowY
    {Action::Field, Action::None, FIELD(WindowWidth)},    // WindowWidth
    {Action::Field, Action::None, FIELD(WindowHeight)},   // WindowHeight
    {Action::None, Action::Roi, 0},                       // Roi
    {Action::AtomicField, Action::None, FIELD(PinOpen)},  // PinOpen
    {Action::Constant, Action::None, 1},                  // Reserved46
    {Action::None, Action::Nothing, 0},                   // Reserved47
    {Action::Forwarded, Action::Forwarded, FORWARDED(ColorCorrection)},
    {Action::Clock, Action::Clock, 0},                   // Clock
    {Action::Constant, Action::None, 1},                 // Reserved50
    {Action::Constant, Action::None, 1},                 // Reserved51
    {Action::Constant, Action::None, 1},                 // Reserved52
    {Action::Constant, Action::None, 0},                 // Reserved53
    {Action::Constant, Action::None, 0},                 // Reserved54
    {Action::Field, Action::Nothing, FIELD(AGC)},        // AGC
    {Action::Field, Action::Nothing, FIELD(AEC)},        // AEC
    {Action::Fails, Action::SensorRegister, 0},          // SensorRegister
    {Action::RegisterShadow, Action::SelectAddress, 0},  // RegisterShadow
    {Action::Fails, Action::RawCommand, 0},              // RawCommand
    {Action::ReadByte, Action::SelectAddress, 0},        // ReadByte
    {Action::Constant, Action::None, 0},                 // Reserved61
    {Action::Constant, Action::None, 0},                 // Reserved62
    {Action::Constant, Action::Nothing, 0},              // Reserved63
    {Action::Constant, Action::Nothing, 0},              // Reserved64
    {Action::Constant, Action::Nothing, 0},              // Reserved65
    {Action::Constant, Action::Nothing, 0},              // Reserved66
    {Action::None, Action::Reinitialize, 0},             // Reinitialize
    {Action::Constant, Action::None, 0},                 // Reserved68
};

#undef FIELD
#undef FORWARDED

DeviceContext* ContextOf(PIRP irp) {
    if (!irp)
        return nullptr;
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (!filter)
        return nullptr;
    PKSDEVICE device = KsGetDevice(filter);
    if (!device)
        return nullptr;
    return static_cast<DeviceContext*>(device->Context);
}

volatile LONG* FieldAt(DeviceContext* context, LONG offset) {
    return reinterpret_cast<volatile LONG*>(reinterpret_cast<UCHAR*>(context) + offset);
}

// The record a get fills is returned whole to the application.
NTSTATUS Returned(PIRP irp, ULONG size) {
    if (irp)
        irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

NTSTATUS RunGet(PIRP irp, const Behaviour& b, DeviceContext* context, PVOID data) {
    auto* value = static_cast<CameraPropertyValue*>(data);
    switch (b.get) {
        case Action::Constant:
            value->Value = b.argument;
            break;
        case Action::Field:
            value->Value = *FieldAt(context, b.argument);
            break;
        case Action::AtomicField:
            value->Value = InterlockedCompareExchange(FieldAt(context, b.argument), 0, 0);
            break;
        case Action::Forwarded:
            value->Value = GetForwarded(context, Forwarded(b.argument));
            break;
        case Action::TriggerMode:
            value->Value = GetTriggerMode(context);
            break;
        case Action::Clock:
            value->Value = GetClock(context);
            break;
        case Action::RegisterShadow: {
            ULONG address = ULONG(context->SelectedAddress);
            value->Value =
                address < kRegisterShadowSize ? LONG(context->RegisterShadow[address]) : 0;
            break;
        }
        case Action::ReadByte: {
            auto* raw = static_cast<CameraRawValue*>(data);
            UCHAR byte = 0;
            if (ReadMemoryByte(context, &byte))
                raw->Bytes[0] = byte;
            return Returned(irp, sizeof(CameraRawValue));
        }
        default:
            return STATUS_UNSUCCESSFUL;
    }
    return Returned(irp, sizeof(CameraPropertyValue));
}

void SendRawCommand(DeviceContext* context, const CameraRawValue* raw) {
    UCHAR bytes[kPacketSize];
    memset(bytes, 0, sizeof(bytes));
    bytes[0] = kCommandRaw;
    LONG count = raw->Length;
    if (count > LONG(kPacketSize - 1))
        count = LONG(kPacketSize - 1);
    if (count > 0)
        memcpy(bytes + 1, raw->Bytes, size_t(count));
    SendCommand(context, bytes, kPacketSize);
}

NTSTATUS RunSet(const Behaviour& b, DeviceContext* context, PVOID data) {
    LONG value = static_cast<CameraPropertyValue*>(data)->Value;
    switch (b.set) {
        case Action::Nothing:
            break;
        case Action::TriggerMode:
            SetTriggerMode(context, value != 0);
            break;
        case Action::Timeout:
            if (ULONG(value) > 500)
                SetTimeout(context, value);
            break;
        case Action::Exposure:
            SetExposure(context, value);
            break;
        case Action::GlobalGain:
            SetGlobalGain(context, value);
            break;
        case Action::Flip:
            InterlockedExchange(FieldAt(context, b.argument), value);
            break;
        case Action::Forwarded:
            SetForwarded(context, Forwarded(b.argument), value);
            break;
        case Action::Clock:
            SetClock(context, value);
            break;
        case Action::SensorRegister: {
            LONG second = static_cast<CameraPropertyValue*>(data)->Second;
            if (!WriteSensorRegister(context, ULONG(value), ULONG(second)))
                return STATUS_UNSUCCESSFUL;
            break;
        }
        case Action::SelectAddress:
            context->SelectedAddress = value;
            break;
        case Action::RawCommand:
            SendRawCommand(context, static_cast<CameraRawValue*>(data));
            break;
        case Action::Roi: {
            auto* roi = static_cast<CameraRoiValue*>(data);
            SetRegionOfInterest(context, roi->X, roi->Y, roi->Width, roi->Height);
            break;
        }
        case Action::Reinitialize:
            ResetCamera(context);
            break;
        default:
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Every item's get handler. Items are looked up by the request's identifier, which AVStream
// has matched against the item table, but a handler never trusts it blindly.
NTSTATUS NTAPI GetCameraProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!request || request->Id >= kCameraPropertyCount || !data)
        return STATUS_UNSUCCESSFUL;
    const Behaviour& b = kBehaviour[request->Id];
    // The range items are constants: they need no camera.
    if (b.get == Action::Constant)
        return RunGet(irp, b, nullptr, data);
    DeviceContext* context = ContextOf(irp);
    if (!context || b.get == Action::Fails)
        return STATUS_UNSUCCESSFUL;
    SettingsGuard guard(context);
    return RunGet(irp, b, context, data);
}

NTSTATUS NTAPI SetCameraProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!request || request->Id >= kCameraPropertyCount || !data)
        return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextOf(irp);
    if (!context)
        return STATUS_UNSUCCESSFUL;
    if (irp)
        irp->IoStatus.Information = 0;
    SettingsGuard guard(context);
    return RunSet(kBehaviour[request->Id], context, data);
}

constexpr ULONG kValueSize = sizeof(CameraPropertyValue);
constexpr ULONG kRoiSize = sizeof(CameraRoiValue);
constexpr ULONG kRawSize = sizeof(CameraRawValue);

// Both directions, get only, set only; MinProperty equals MinData for every item.
#define BOTH(id, size) \
    { id, {GetCameraProperty}, size, size, {SetCameraProperty}, nullptr, 0, nullptr, nullptr, 0 }
#define GET(id) \
    { id, {GetCameraProperty}, kValueSize, kValueSize, {nullptr}, nullptr, 0, nullptr, nullptr, 0 }
#define SET(id, size) \
    { id, {nullptr}, size, size, {SetCameraProperty}, nullptr, 0, nullptr, nullptr, 0 }

}  // namespace

const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount] = {
    BOTH(PropExTrigger, kValueSize),
    BOTH(PropTimeout, kValueSize),
    BOTH(PropExposure, kValueSize),
    GET(PropExposureMin),
    GET(PropExposureMax),
    GET(PropExposureDefault),
    BOTH(PropGlobalGain, kValueSize),
    GET(PropGlobalGainMin),
    GET(PropGlobalGainMax),
    GET(PropGlobalGainDefault),
    BOTH(PropFlipH, kValueSize),
    BOTH(PropFlipV, kValueSize),
    BOTH(PropColorEnable, kValueSize),
    BOTH(PropWhiteBalance, kValueSize),
    BOTH(PropRedGain, kValueSize),
    BOTH(PropGreenGain, kValueSize),
    BOTH(PropBlueGain, kValueSize),
    GET(PropColorGainMin),
    GET(PropColorGainMax),
    GET(PropColorGainDefault),
    BOTH(PropBrightness, kValueSize),
    GET(PropBrightnessMin),
    GET(PropBrightnessMax),
    GET(PropBrightnessDefault),
    BOTH(PropContrast, kValueSize),
    GET(PropContrastMin),
    GET(PropContrastMax),
    GET(PropContrastDefault),
    BOTH(PropSaturation, kValueSize),
    GET(PropSaturationMin),
    GET(PropSaturationMax),
    GET(PropSaturationDefault),
    BOTH(PropHue, kValueSize),
    GET(PropHueMin),
    GET(PropHueMax),
    GET(PropHueDefault),
    GET(PropReserved36),
    GET(PropSubSample),
    GET(PropSensorWidth),
    GET(PropSensorHeight),
    GET(PropWindowX),
    GET(PropWindowY),
    GET(PropWindowWidth),
    GET(PropWindowHeight),
    SET(PropRoi, kRoiSize),
    GET(PropPinOpen),
    GET(PropReserved46),
    SET(PropReserved47, kValueSize),
    BOTH(PropColorCorrection, kValueSize),
    BOTH(PropClock, kValueSize),
    GET(PropReserved50),
    GET(PropReserved51),
    GET(PropReserved52),
    GET(PropReserved53),
    GET(PropReserved54),
    BOTH(PropAGC, kValueSize),
    BOTH(PropAEC, kValueSize),
    BOTH(PropSensorRegister, kValueSize),
    BOTH(PropRegisterShadow, kValueSize),
    BOTH(PropRawCommand, kRawSize),
    BOTH(PropReadByte, kRawSize),
    GET(PropReserved61),
    GET(PropReserved62),
    BOTH(PropReserved63, kValueSize),
    BOTH(PropReserved64, kValueSize),
    BOTH(PropReserved65, kValueSize),
    BOTH(PropReserved66, kValueSize),
    SET(PropReinitialize, kValueSize),
    GET(PropReserved68),
};

#undef BOTH
#undef GET
#undef SET

const KSPROPERTY_SET CameraPropertySets[1] = {
    {&CameraPropertySetId, kCameraPropertyCount, CameraPropertyItems, 0, nullptr},
};
