// The stored settings as the device finds them in the hive: any value names, types, lengths
// and contents in the driver key and its Settings key, loaded at start and at a camera reset,
// saved at stop. Encoding (fuzz_input.h): up to 32 values, each
//   u8  name     bits 0-5: below 24 the stored setting of that number, else a name of u8
//                length and that many bytes follows; bit 6: in the driver key itself
//   u32 type
//   len n, n bytes   the data
// ended by a name byte with bit 7 set, whose bit 0 asks for a camera reset through the
// property set and bit 1 for a second start, as the PnP manager restarts a started device.
// After stop, every stored setting must be a 4-byte REG_DWORD again.
#include <string>

#include "control/property_set.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/registry_names.h"

namespace {

std::string SettingsKey() {
    return std::string(host::kDriverKeyPath) + "\\Settings";
}

void StoreValue(FuzzInput* in, uint8_t name) {
    host::RegistryValue value;
    if ((name & 0x3F) < kStoredSettingCount) {
        value.name = kStoredSettingNames[name & 0x3F];
    } else {
        std::vector<uint8_t> bytes = in->Bytes(in->U8());
        for (uint8_t b : bytes)
            value.name += char(b ? b : '?');  // a value name cannot hold a NUL
    }
    value.type = in->U32();
    value.data = in->Bytes(in->Length());
    host::RegistrySetValue((name & 0x40) ? host::kDriverKeyPath : SettingsKey(), value);
}

void Reinitialize(PFILE_OBJECT filter) {
    CameraPropertyValue record{};
    record.Header.Set = CameraPropertySetId;
    record.Header.Id = PropReinitialize;
    record.Header.Flags = KSPROPERTY_TYPE_SET;
    ULONG returned = 0;
    host::KsPropertyRequest(filter, &record, sizeof(record), &record, sizeof(record), &returned);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputLeakCheck leaks;
    FuzzInput in(data, size);
    uint8_t name = 0;
    for (int i = 0; i < 32 && !in.Empty(); ++i) {
        name = in.U8();
        if (name & 0x80)
            break;
        StoreValue(&in, name);
    }
    uint8_t actions = (name & 0x80) ? name : 0;
    FuzzCamera camera;
    if (!camera.Start() || !camera.Open())
        FuzzFail("the simulated camera does not start");
    if (actions & 1)
        Reinitialize(camera.Filter());
    if (actions & 2)
        host::StartDevice(camera.Device());
    camera.CloseAndStop();
    for (unsigned i = 0; i < kStoredSettingCount; ++i) {
        host::RegistryValue stored;
        if (!host::RegistryGetValue(SettingsKey(), kStoredSettingNames[i], &stored) ||
            stored.type != REG_DWORD || stored.data.size() != 4)
            FuzzFail("a setting was not saved as a REG_DWORD", kStoredSettingNames[i]);
    }
    return 0;
}
