// The camera's user-visible settings: how each one becomes register writes on the camera or a
// change of the image pipeline, and how each is read back. Every operation runs at passive
// level and may block on the camera; each command exchange takes the device's CommandLock.
#pragma once

#include "driver/device_context.h"

// Control registers are 8-bit; both arguments travel as their low 8 bits.
BOOLEAN WriteControlRegister(DeviceContext* context, ULONG reg, ULONG value);
BOOLEAN ReadControlRegister(DeviceContext* context, ULONG reg, UCHAR* value);
// The byte at SelectedAddress of the camera's memory; `value` is written only on success.
BOOLEAN ReadMemoryByte(DeviceContext* context, UCHAR* value);

// The InitializeCamera camera operation: raw frame geometry, the start-up register sequence,
// and the stored trigger mode, exposure and global gain applied again. Whether the last step,
// the global-gain write, succeeded.
BOOLEAN InitializeCamera(DeviceContext* context);

// Exposure is clamped, compared as unsigned, to 2..524 and stored even when the camera did not
// take it, so the next InitializeCamera applies it.
BOOLEAN SetExposure(DeviceContext* context, LONG value);
// Limited, as unsigned, to 1023; stored only when the camera took it.
BOOLEAN SetGlobalGain(DeviceContext* context, LONG value);
// Control register 11, then sensor register 11; stored only when both writes succeeded.
BOOLEAN SetTriggerMode(DeviceContext* context, BOOLEAN on);
// The camera's trigger mode (and ExTrigger refreshed), or 0 when it does not answer.
LONG GetTriggerMode(DeviceContext* context);
// Writes 3 to control register 15 (whatever is asked), and only if that worked initialises the
// camera again and stores `value`.
BOOLEAN SetClock(DeviceContext* context, LONG value);
// Clock from control register 15, where 3 reads as 2; the previous Clock if no answer.
LONG GetClock(DeviceContext* context);
// Stores the frame-read time-out for this device and for every frame read of the driver.
void SetTimeout(DeviceContext* context, LONG value);
// Automatic white balance on or off. Turning it off while a pipeline runs keeps the gains it
// reached, clamped to the gains' range, as the manual gains of the device and the pipeline.
void SetWhiteBalance(DeviceContext* context, LONG value);

// Settings that live in the image pipeline while one exists.
enum class Forwarded : UCHAR {
    ColorEnable,
    WhiteBalance,
    RedGain,
    GreenGain,
    BlueGain,
    ColorCorrection,
    Brightness,
    Contrast,
    Saturation,
    Hue,
};
// Clamps (signed) to the setting's range, stores it and hands it to the pipeline, if any.
// WhiteBalance goes through SetWhiteBalance.
void SetForwarded(DeviceContext* context, Forwarded setting, LONG value);
// The pipeline's copy when a pipeline exists (the stored field follows it), else the field.
LONG GetForwarded(DeviceContext* context, Forwarded setting);
// The value SetForwarded would store.
LONG ClampForwarded(Forwarded setting, LONG value);

// Unsigned limit used by the settings whose ranges are compared as unsigned.
inline LONG ClampUnsigned(LONG value, ULONG low, ULONG high) {
    ULONG v = ULONG(value);
    return LONG(v < low ? low : v > high ? high : v);
}
