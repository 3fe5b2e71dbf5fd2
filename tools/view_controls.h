// The controls `bayercam view` shows, one for each item of the camera property set that can
// be set, found as `bayercam props list` finds them: every item is asked which directions it
// supports. A setting with range items gets a slider over that range, an on/off setting a
// check box, the region four fields, a raw command its bytes, the reset a button, and any
// other a number field.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "tools/camera_session.h"

namespace tool {

enum class ControlKind {
    Slider,  // min, max and default from the item's range items
    Check,   // 0 or 1
    Number,  // any 32-bit value
    Pair,    // SensorRegister: register and value
    Hex,     // RawCommand: bytes in hexadecimal
    Region,  // Roi: x, y, width, height
    Button,  // Reinitialize: no value
};

const char* ControlKindName(ControlKind kind);

struct Control {
    ULONG id = 0;
    ControlKind kind = ControlKind::Number;
    bool readable = false;  // the item has a get handler
    LONG min = 0;           // Slider only
    LONG max = 0;
    LONG initial = 0;  // the range's default
};

// Asks the driver, through the filter, for every item's directions and the range items.
std::vector<Control> FindControls(CameraSession* session);

// The control as the page shows it: its kind and range, and what a get of the item returns
// now ("value", "second", and "byte" for ReadByte), with the get's status. Nothing of the value
// for an item without a get.
nlohmann::ordered_json ControlState(CameraSession* session, const Control& control);

}  // namespace tool
