// Settings persistence in the device's driver key, and the camera reset that reloads them.
#include "control/settings_store.h"

#include "control/region_of_interest.h"
#include "control/settings.h"
#include "usb/command_packets.h"
#include "usb/register_access.h"

namespace {

constexpr ULONG kKeyAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
// Room for the partial-information header and up to 8 data bytes: a longer value is refused by
// the query and keeps its default.
constexpr ULONG kQueryBufferSize = 20;
constexpr ULONG kDataOffset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
static_assert(kDataOffset == 12, "partial information data offset");

WCHAR SettingsPath[] = BC_WIDE("Settings");

struct StoredValue {
    const WCHAR* name;
    ULONG offset;  // of the 32-bit setting in DeviceContext
};

#define STORED(name) \
    { BC_WIDE(#name), ULONG(offsetof(DeviceContext, name)) }

// In the order of saving and loading.
const StoredValue kStoredValues[] = {
    STORED(Timeout),    STORED(Exposure),    STORED(GlobalGain),   STORED(FlipH),
    STORED(FlipV),      STORED(ColorEnable), STORED(WhiteBalance), STORED(ColorCorrection),
    STORED(Brightness), STORED(Contrast),    STORED(Saturation),   STORED(Hue),
    STORED(RedGain),    STORED(GreenGain),   STORED(BlueGain),     STORED(AGC),
    STORED(AEC),        STORED(Clock),       STORED(ExTrigger),    STORED(SubSample),
    STORED(RoiX),       STORED(RoiY),        STORED(RoiW),         STORED(RoiH),
};
#undef STORED
constexpr ULONG kStoredValueCount = RTL_NUMBER_OF(kStoredValues);
static_assert(kStoredValueCount == 24, "24 stored settings");

// Positions in kStoredValues.
enum StoredIndex : ULONG {
    kTimeout,
    kExposure,
    kGlobalGain,
    kFlipH,
    kFlipV,
    kColorEnable,
    kWhiteBalance,
    kColorCorrection,
    kBrightness,
    kContrast,
    kSaturation,
    kHue,
    kRedGain,
    kGreenGain,
    kBlueGain,
    kAGC,
    kAEC,
    kClock,
    kExTrigger,
    kSubSample,
    kRoiX,
    kRoiY,
    kRoiW,
    kRoiH,
};

NTSTATUS OpenDriverKey(DeviceContext* context, HANDLE* key) {
    *key = nullptr;
    return IoOpenDeviceRegistryKey(context->Usb.PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                   STANDARD_RIGHTS_READ, key);
}

NTSTATUS CreateKey(HANDLE parent, PUNICODE_STRING name, HANDLE* key) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, kKeyAttributes, parent, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       nullptr);
}

// The value's first four data bytes, little-endian, whatever its type. A value that is missing,
// longer than 8 bytes or shorter than 4 leaves `value` as it was: fewer than four bytes would
// otherwise mix stale buffer contents into the setting.
void ReadValue(HANDLE key, const WCHAR* name, LONG* value) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[kQueryBufferSize];
    } buffer;
    memset(&buffer, 0, sizeof(buffer));
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer,
                                      kQueryBufferSize, &resultLength);
    if (!NT_SUCCESS(status) || buffer.info.DataLength < sizeof(LONG))
        return;
    const UCHAR* data = buffer.bytes + kDataOffset;
    *value =
        LONG(ULONG(data[0]) | ULONG(data[1]) << 8 | ULONG(data[2]) << 16 | ULONG(data[3]) << 24);
}

LONG StoredField(const DeviceContext* context, ULONG index) {
    LONG value;
    memcpy(&value, reinterpret_cast<const UCHAR*>(context) + kStoredValues[index].offset,
           sizeof(value));
    return value;
}

void WriteValue(HANDLE key, const WCHAR* name, LONG value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
}

// The load defaults; Clock's is the camera's own clock selection.
void SetLoadDefaults(DeviceContext* context, LONG* values) {
    values[kTimeout] = 3000;
    values[kExposure] = 2;
    values[kGlobalGain] = 0;
    values[kFlipH] = 0;
    values[kFlipV] = 0;
    values[kColorEnable] = 1;
    values[kWhiteBalance] = 0;
    values[kColorCorrection] = 1;
    values[kBrightness] = 255;
    values[kContrast] = 10;
    values[kSaturation] = 10;
    values[kHue] = 0;
    values[kRedGain] = 128;
    values[kGreenGain] = 128;
    values[kBlueGain] = 128;
    values[kAGC] = 0;
    values[kAEC] = 0;
    values[kClock] = GetClock(context);
    values[kExTrigger] = 0;
    values[kSubSample] = 0;
    values[kRoiX] = 0;
    values[kRoiY] = 0;
    values[kRoiW] = kSensorWidth;
    values[kRoiH] = kSensorHeight;
}

// Applies the loaded values through the setters. A setting the camera did not take keeps its
// loaded value all the same, so the next save writes back what the user stored rather than a
// creation default, and the next InitializeCamera applies it.
void ApplyLoadedValues(DeviceContext* context, const LONG* v) {
    if (v[kTimeout] >= 501 && v[kTimeout] <= 9999)
        SetTimeout(context, v[kTimeout]);
    if (!SetClock(context, v[kClock]))
        context->Clock = v[kClock];
    SetExposure(context, v[kExposure]);
    if (!SetGlobalGain(context, v[kGlobalGain]))
        context->GlobalGain = ClampUnsigned(v[kGlobalGain], 0, 1023);
    SetForwarded(context, Forwarded::ColorEnable, v[kColorEnable]);
    SetWhiteBalance(context, v[kWhiteBalance]);
    SetForwarded(context, Forwarded::ColorCorrection, v[kColorCorrection]);
    SetForwarded(context, Forwarded::Brightness, v[kBrightness]);
    SetForwarded(context, Forwarded::Contrast, v[kContrast]);
    SetForwarded(context, Forwarded::Saturation, v[kSaturation]);
    SetForwarded(context, Forwarded::Hue, v[kHue]);
    SetForwarded(context, Forwarded::RedGain, v[kRedGain]);
    SetForwarded(context, Forwarded::GreenGain, v[kGreenGain]);
    SetForwarded(context, Forwarded::BlueGain, v[kBlueGain]);
    InterlockedExchange(&context->FlipH, v[kFlipH]);
    InterlockedExchange(&context->FlipV, v[kFlipV]);
    // AGC, AEC and SubSample are stored for applications but never applied.

    // Unsigned comparisons: a negative stored value counts as too large.
    ULONG x = ULONG(v[kRoiX]), y = ULONG(v[kRoiY]);
    ULONG width = ULONG(v[kRoiW]), height = ULONG(v[kRoiH]);
    SetRegionOfInterest(context, x < ULONG(kSensorWidth) ? LONG(x) : 0,
                        y < ULONG(kSensorHeight) ? LONG(y) : 0,
                        width > ULONG(kSensorWidth) ? kSensorWidth : LONG(width),
                        height > ULONG(kSensorHeight) ? kSensorHeight : LONG(height));

    BOOLEAN trigger = v[kExTrigger] != 0;
    if (!SetTriggerMode(context, trigger))
        context->ExTrigger = trigger ? 1 : 0;
}

}  // namespace

NTSTATUS OpenSettingsKey(HANDLE parent, PCUNICODE_STRING path, HANDLE* key) {
    *key = nullptr;
    // Each intermediate key is created through a counted prefix of the path: the path itself
    // is never written, even for a moment.
    USHORT characters = USHORT(path->Length / sizeof(WCHAR));
    for (USHORT i = 1; i < characters; ++i) {
        if (path->Buffer[i] != WCHAR('\\'))
            continue;
        UNICODE_STRING prefix;
        prefix.Buffer = path->Buffer;
        prefix.Length = USHORT(i * sizeof(WCHAR));
        prefix.MaximumLength = prefix.Length;
        HANDLE intermediate = nullptr;
        NTSTATUS status = CreateKey(parent, &prefix, &intermediate);
        if (!NT_SUCCESS(status))
            return status;
        ZwClose(intermediate);
    }
    UNICODE_STRING full = *path;
    return CreateKey(parent, &full, key);
}

LONG LoadSettings(DeviceContext* context) {
    HANDLE driverKey = nullptr;
    if (OpenDriverKey(context, &driverKey) != STATUS_SUCCESS)
        return 0;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, SettingsPath);
    HANDLE settingsKey = nullptr;
    if (!NT_SUCCESS(OpenSettingsKey(driverKey, &path, &settingsKey))) {
        ZwClose(driverKey);
        return 0;
    }

    LONG values[kStoredValueCount];
    SetLoadDefaults(context, values);
    for (ULONG i = 0; i < kStoredValueCount; ++i)
        ReadValue(settingsKey, kStoredValues[i].name, &values[i]);
    ApplyLoadedValues(context, values);

    ZwClose(settingsKey);
    ZwClose(driverKey);
    return 1;
}

LONG SaveSettings(DeviceContext* context) {
    HANDLE driverKey = nullptr;
    NTSTATUS status = OpenDriverKey(context, &driverKey);
    if (!NT_SUCCESS(status) || !driverKey)
        return 0;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, SettingsPath);
    HANDLE settingsKey = nullptr;
    status = OpenSettingsKey(driverKey, &path, &settingsKey);
    if (!NT_SUCCESS(status) || !settingsKey) {
        ZwClose(driverKey);
        return 0;
    }
    for (ULONG i = 0; i < kStoredValueCount; ++i)
        WriteValue(settingsKey, kStoredValues[i].name, StoredField(context, i));
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return 1;
}

NTSTATUS ResetCamera(DeviceContext* context) {
    const UCHAR reset[] = {kCommandReset};
    SendOwnPacket(context, reset, sizeof(reset));
    if (WriteControlRegister(context, 6, 17))
        WriteControlRegister(context, 6, 0);
    WriteControlRegister(context, 15, 3);
    WriteControlRegister(context, 32, 1);
    LoadSettings(context);
    return STATUS_SUCCESS;
}
