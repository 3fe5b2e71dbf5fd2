// Settings in the registry: what a start loads from the device's Settings key, what a filter
// close and a stop save back, and what happens when the key or the camera is not there.
#include "tests/control/started_camera.h"

namespace {

class SettingsStore : public StartedCamera {
protected:
    bool StartInSetUp() override { return false; }
};

const char* const kValueOrder[] = {
    "Timeout",      "Exposure",        "GlobalGain", "FlipH",    "FlipV",      "ColorEnable",
    "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
    "RedGain",      "GreenGain",       "BlueGain",   "AGC",      "AEC",        "Clock",
    "ExTrigger",    "SubSample",       "RoiX",       "RoiY",     "RoiW",       "RoiH",
};

TEST_F(SettingsStore, EmptyKeyLoadsDefaultsAndTheFirstSaveFillsIt) {
    StartAndOpen();
    std::vector<host::RegistryValue> values;
    ASSERT_TRUE(host::RegistryListValues(SettingsKeyPath(), &values)) << "created by the load";
    EXPECT_TRUE(values.empty());
    const DeviceContext& c = *context_;
    EXPECT_EQ(c.Timeout, 3000);
    EXPECT_EQ(c.Exposure, 2);
    EXPECT_EQ(c.GlobalGain, 0);
    EXPECT_EQ(c.RedGain + c.GreenGain + c.BlueGain, 3 * 128);
    EXPECT_EQ(c.Brightness, 255);
    EXPECT_EQ(c.Contrast + c.Saturation, 20);
    EXPECT_EQ(c.Hue, 0);
    EXPECT_EQ(c.RoiW * 1000 + c.RoiH, 656494);
    EXPECT_EQ(c.ExTrigger, 0);
    EXPECT_EQ(c.Clock, 2) << "the camera's own clock selection, 3 read as 2";

    CloseAndStop();
    ASSERT_TRUE(host::RegistryListValues(SettingsKeyPath(), &values));
    ASSERT_EQ(values.size(), 24u);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].name, kValueOrder[i]);
        EXPECT_EQ(values[i].type, ULONG(REG_DWORD));
        EXPECT_EQ(values[i].data.size(), 4u);
    }
}

TEST_F(SettingsStore, StoredValuesAreCheckedOnLoadAndSavedAsApplied) {
    const struct {
        const char* name;
        LONG stored;
        LONG DeviceContext::*field;
        LONG loaded;
        LONG saved;
    } cases[] = {
        // An out-of-range time-out leaves the one in force: these run in this order.
        {"Timeout", 500, &DeviceContext::Timeout, 3000, 3000},
        {"Timeout", 10000, &DeviceContext::Timeout, 3000, 3000},
        {"Timeout", 501, &DeviceContext::Timeout, 501, 501},
        {"Timeout", 9999, &DeviceContext::Timeout, 9999, 9999},
        {"RoiX", 700, &DeviceContext::RoiX, 0, 0},
        {"RoiW", 0, &DeviceContext::RoiW, 656, 656},
        {"RoiH", -1, &DeviceContext::RoiH, 494, 494},
        {"Brightness", 600, &DeviceContext::Brightness, 510, 510},
        {"Exposure", 1000, &DeviceContext::Exposure, 524, 524},
        {"Clock", 5, &DeviceContext::Clock, 5, 5},
        {"SubSample", 3, &DeviceContext::SubSample, 0, 0},
        {"AGC", 9, &DeviceContext::AGC, 0, 0},
        {"AEC", 9, &DeviceContext::AEC, 0, 0},
    };
    for (const auto& c : cases) {
        host::RegistryReset();
        StoreDword(c.name, c.stored);
        StartAndOpen();
        EXPECT_EQ(context_->*c.field, c.loaded) << c.name << " stored as " << c.stored;
        CloseAndStop();
        LONG saved = 0;
        ASSERT_TRUE(StoredValue(c.name, &saved));
        EXPECT_EQ(saved, c.saved) << c.name << " stored as " << c.stored;
    }
}

TEST_F(SettingsStore, AnyTypeOfFourToEightBytesIsReadAsItsFirstFourBytes) {
    const struct {
        ULONG type;
        std::vector<uint8_t> data;
        LONG brightness;
    } cases[] = {
        {REG_SZ, {'d', 0, 0, 0, 0, 0}, 100},
        {REG_BINARY, {44, 1, 0, 0, 9, 9, 9, 9}, 300},
        {REG_SZ, {'d', 0, 'd', 0, 'd', 0, 'd', 0, 0, 0}, 255},  // longer than 8 bytes
        {REG_BINARY, {100, 0, 0}, 255},                         // fewer than 4 bytes
        {REG_BINARY, {}, 255},
    };
    for (const auto& c : cases) {
        host::RegistryReset();
        StoreValue("Brightness", c.type, c.data);
        StartAndOpen();
        EXPECT_EQ(context_->Brightness, c.brightness) << c.data.size() << " bytes";
        CloseAndStop();
    }
}

TEST_F(SettingsStore, UnopenableKeysLoadNothingSendNothingAndSaveNothing) {
    for (bool deviceKey : {true, false}) {
        host::RegistryReset();
        if (deviceKey)
            host::RegistryFailDeviceKey(STATUS_OBJECT_NAME_NOT_FOUND);
        else
            host::RegistryFailCreateKey(STATUS_INSUFFICIENT_RESOURCES);
        camera_->ClearTransfers();
        ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
        started_ = true;
        EXPECT_EQ(Commands(),
                  (std::vector<std::string>{"06", "25 06 11", "25 06", "25 0f 03", "25 20 01"}))
            << "only the reset: the load stops before any camera command";
        EXPECT_EQ(context_->Exposure, 0) << "the creation default stays";
        ASSERT_EQ(host::OpenFilter(device_, "GLOBAL", &filter_), STATUS_SUCCESS);
        EXPECT_EQ(Set(PropBrightness, 300), STATUS_SUCCESS);
        CloseAndStop();
        host::RegistryFailDeviceKey(STATUS_SUCCESS);
        host::RegistryFailCreateKey(STATUS_SUCCESS);
        LONG brightness = 0;
        EXPECT_FALSE(StoredValue("Brightness", &brightness)) << "nothing saved";
    }
}

TEST_F(SettingsStore, ValuesTheCameraRefusedAtStartAreKeptAndSavedBack) {
    StoreDword("GlobalGain", 700);
    StoreDword("ExTrigger", 1);
    StoreDword("Clock", 5);
    camera_->SetFault(sim::Fault::ShortSend);
    StartAndOpen();
    EXPECT_EQ(context_->GlobalGain, 700);
    EXPECT_EQ(context_->ExTrigger, 1);
    EXPECT_EQ(context_->Clock, 5);
    CloseAndStop();
    for (const char* name : {"GlobalGain", "ExTrigger", "Clock"}) {
        LONG saved = 0;
        ASSERT_TRUE(StoredValue(name, &saved));
        EXPECT_EQ(saved, name[0] == 'G' ? 700 : name[0] == 'E' ? 1 : 5) << name;
    }
}

TEST_F(SettingsStore, ReinitializeReplacesUnsavedChangesByTheStoredValues) {
    StoreDword("Brightness", 400);
    StartAndOpen();
    ASSERT_EQ(Set(PropBrightness, 100), STATUS_SUCCESS);
    ASSERT_EQ(Set(PropReinitialize, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(PropBrightness).value, 400);
    EXPECT_EQ(Commands().front(), "06") << "the camera is reset first";
}

}  // namespace
