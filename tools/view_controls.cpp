#include "tools/view_controls.h"

#include "tools/json_lines.h"
#include "tools/property_names.h"
#include "tools/property_requests.h"

namespace tool {
namespace {

bool IsOnOff(ULONG id) {
    switch (id) {
        case PropExTrigger:
        case PropFlipH:
        case PropFlipV:
        case PropColorEnable:
        case PropWhiteBalance:
        case PropColorCorrection:
            return true;
        default:
            return false;
    }
}

// A slider needs a range that makes sense; constants the driver reports otherwise leave the
// setting a plain number field.
bool ReadRange(CameraSession* session, ULONG id, Control* control) {
    ULONG first = 0;
    if (!RangeItemsOf(id, &first))
        return false;
    LONG v[3], second = 0;
    for (ULONG i = 0; i < 3; ++i) {
        if (!NT_SUCCESS(GetPropertyValue(session, first + i, &v[i], &second)))
            return false;
    }
    if (v[0] >= v[1])
        return false;
    control->min = v[0];
    control->max = v[1];
    control->initial = v[2];
    return true;
}

}  // namespace

const char* ControlKindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::Slider:
            return "slider";
        case ControlKind::Check:
            return "check";
        case ControlKind::Number:
            return "number";
        case ControlKind::Pair:
            return "pair";
        case ControlKind::Hex:
            return "hex";
        case ControlKind::Region:
            return "region";
        case ControlKind::Button:
            return "button";
    }
    return "number";
}

std::vector<Control> FindControls(CameraSession* session) {
    std::vector<Control> controls;
    for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
        ULONG access = PropertyAccess(session, id);
        if (!(access & KSPROPERTY_TYPE_SET))
            continue;
        Control c;
        c.id = id;
        c.readable = access & KSPROPERTY_TYPE_GET;
        if (id == PropReinitialize)
            c.kind = ControlKind::Button;
        else if (id == PropRoi)
            c.kind = ControlKind::Region;
        else if (id == PropRawCommand)
            c.kind = ControlKind::Hex;
        else if (id == PropSensorRegister)
            c.kind = ControlKind::Pair;
        else if (IsOnOff(id))
            c.kind = ControlKind::Check;
        else if (ReadRange(session, id, &c))
            c.kind = ControlKind::Slider;
        controls.push_back(c);
    }
    return controls;
}

nlohmann::ordered_json ControlState(CameraSession* session, const Control& c) {
    nlohmann::ordered_json j = {{"id", c.id},
                                {"name", PropertyName(c.id)},
                                {"kind", ControlKindName(c.kind)},
                                {"readable", c.readable}};
    if (c.kind == ControlKind::Slider) {
        j["min"] = c.min;
        j["max"] = c.max;
        j["default"] = c.initial;
    }
    if (!c.readable)
        return j;
    LONG value = 0, second = 0;
    CameraRawValue raw{};
    NTSTATUS status = GetPropertyRecord(session, c.id, &value, &second, &raw);
    SetStatus(j, "status", status);
    if (!NT_SUCCESS(status))
        return j;
    j["value"] = value;
    j["second"] = second;
    if (c.id == PropReadByte)
        j["byte"] = raw.Bytes[0];
    return j;
}

}  // namespace tool
