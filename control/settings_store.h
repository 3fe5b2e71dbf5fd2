// The camera's settings in the registry: 24 REG_DWORD values under the subkey "Settings" of the
// device's driver key, loaded at every camera reset and saved at every filter close and device
// stop. No registry failure is reported to anyone: a key that cannot be opened means nothing is
// loaded (and no camera command is sent) or nothing is saved.
#pragma once

#include "driver/device_context.h"

// Resets the camera, writes its start-up control registers and reloads every stored setting,
// replacing changes made since the last save. Always succeeds.
NTSTATUS ResetCamera(DeviceContext* context);
// 1 when the keys could be opened and the stored values (or their defaults) were applied.
LONG LoadSettings(DeviceContext* context);
// 1 when the keys could be opened; every value is written even if one write fails.
LONG SaveSettings(DeviceContext* context);
// Creates or opens `path` relative to `parent`, one backslash-separated component at a time.
// The status of the last creation; *key is the full path's handle when it succeeded.
NTSTATUS OpenSettingsKey(HANDLE parent, PCUNICODE_STRING path, HANDLE* key);
