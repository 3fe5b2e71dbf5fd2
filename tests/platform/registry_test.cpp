// The registry services: statuses as Windows gives them to a kernel caller, bug checks for
// misuse, and the hive file as Windows and hivex's own tools read it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/host/host_control.h"

namespace {

namespace fs = std::filesystem;

const std::string kSettingsPath = std::string(host::kDriverKeyPath) + "\\Settings";

UNICODE_STRING Name(const char16_t* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

HANDLE OpenDriverKey(ACCESS_MASK access = KEY_ALL_ACCESS) {
    DEVICE_OBJECT pdo{};
    pdo.Flags = DO_BUS_ENUMERATED_DEVICE;
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, access, &key), STATUS_SUCCESS);
    return key;
}

NTSTATUS CreateKey(HANDLE root, const char16_t* name, HANDLE* key, ULONG* disposition = nullptr,
                   ACCESS_MASK access = KEY_ALL_ACCESS, ULONG options = REG_OPTION_NON_VOLATILE) {
    UNICODE_STRING u = Name(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
}

NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value) {
    UNICODE_STRING u = Name(name);
    return ZwSetValueKey(key, &u, 0, REG_DWORD, &value, sizeof value);
}

// A private directory for hive files, removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "registry-test-XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const char* name) const { return (path / name).string(); }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Registry, InitUnicodeStringCountsWithoutCopying) {
    static char16_t longText[0x8001];
    std::fill(longText, longText + 0x8000, u'x');
    struct Case {
        const char16_t* source;
        USHORT length, maximum;
    } cases[] = {{nullptr, 0, 0}, {u"", 0, 2}, {u"abc", 6, 8}, {longText, 0xFFFC, 0xFFFE}};
    for (const Case& c : cases) {
        UNICODE_STRING u{7, 7, nullptr};
        RtlInitUnicodeString(&u, c.source);
        EXPECT_EQ(u.Buffer, c.source);
        EXPECT_EQ(u.Length, c.length);
        EXPECT_EQ(u.MaximumLength, c.maximum);
    }
}

TEST(Registry, DeviceKeyOnlyForThePhysicalDeviceObjectsDriverKey) {
    DEVICE_OBJECT pdo{}, fdo{};
    pdo.Flags = DO_BUS_ENUMERATED_DEVICE;
    struct Case {
        PDEVICE_OBJECT device;
        ULONG type;
        NTSTATUS status;
    } cases[] = {{&pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, STATUS_INVALID_PARAMETER},
                 {&fdo, PLUGPLAY_REGKEY_DRIVER, STATUS_INVALID_DEVICE_REQUEST},
                 {&pdo, PLUGPLAY_REGKEY_DRIVER, STATUS_SUCCESS}};
    for (const Case& c : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(c.device, c.type, KEY_READ, &key), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(SetDword(key, u"Gain", 7), STATUS_SUCCESS);
    ZwClose(key);
    host::RegistryValue v;
    ASSERT_TRUE(host::RegistryGetValue(host::kDriverKeyPath, "gain", &v));
    EXPECT_EQ(v.type, ULONG(REG_DWORD));
    EXPECT_EQ(v.data, (std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST(Registry, RefusalSwitchesFailTheirCallUntilDisarmed) {
    DEVICE_OBJECT pdo{};
    pdo.Flags = DO_BUS_ENUMERATED_DEVICE;
    HANDLE key = nullptr;
    host::RegistryFailDeviceKey(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    host::RegistryFailDeviceKey(STATUS_SUCCESS);
    HANDLE root = OpenDriverKey();
    host::RegistryFailCreateKey(STATUS_ACCESS_DENIED);
    EXPECT_EQ(CreateKey(root, u"Settings", &key), STATUS_ACCESS_DENIED);
    host::RegistryFailCreateKey(STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(root, u"Settings", &key), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(root);
}

TEST(Registry, CreateKeyMakesOneLevelAndReportsWhatItDid) {
    HANDLE root = OpenDriverKey(), key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(root, u"A\\B", &key, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(CreateKey(root, u"A", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));  // the failed call made nothing
    ZwClose(key);
    ASSERT_EQ(CreateKey(root, u"A\\B", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetDword(key, u"Value", 1), STATUS_SUCCESS);
    ZwClose(key);
    // Names of keys and values match in any case.
    ASSERT_EQ(CreateKey(root, u"a\\b", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(SetDword(key, u"VALUE", 2), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(root);
    std::vector<host::RegistryValue> values;
    ASSERT_TRUE(host::RegistryListValues(std::string(host::kDriverKeyPath) + "\\A\\B", &values));
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Value");
    EXPECT_EQ(values[0].data[0], 2);
}

TEST(Registry, CreateKeyRefusesWhatItCannotKeep) {
    std::u16string longest(255, u'k'), tooLong(256, u'k');
    struct Case {
        const char16_t* name;
        ULONG options;
        NTSTATUS status;
    } cases[] = {{u"\\Absolute", 0, STATUS_OBJECT_PATH_SYNTAX_BAD},
                 {u"A\\\\B", 0, STATUS_OBJECT_NAME_INVALID},
                 {u"Trailing\\", 0, STATUS_OBJECT_NAME_INVALID},
                 {tooLong.c_str(), 0, STATUS_OBJECT_NAME_INVALID},
                 {u"Gr\u00fc\u00dfe", 0, STATUS_NOT_SUPPORTED},
                 {u"Volatile", REG_OPTION_VOLATILE, STATUS_NOT_SUPPORTED},
                 {longest.c_str(), 0, STATUS_SUCCESS}};
    HANDLE root = OpenDriverKey();
    for (const Case& c : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(CreateKey(root, c.name, &key, nullptr, KEY_READ, c.options), c.status);
        if (NT_SUCCESS(c.status))
            ZwClose(key);
    }
    ZwClose(root);
}

TEST(Registry, HandleGrantsOnlyTheAccessAskedFor) {
    HANDLE reader = OpenDriverKey(KEY_READ), writer = OpenDriverKey(KEY_SET_VALUE), key = nullptr;
    UNICODE_STRING name = Name(u"Gain");
    ULONG data = 1, length = 0;
    UCHAR buffer[16];
    EXPECT_EQ(ZwSetValueKey(reader, &name, 0, REG_DWORD, &data, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CreateKey(reader, u"Settings", &key), STATUS_SUCCESS) << "parents need no right";
    ZwClose(key);
    EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, &data, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(writer, &name, KeyValuePartialInformation, buffer, 16, &length),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryValueKey(reader, &name, KeyValuePartialInformation, buffer, 16, &length),
              STATUS_SUCCESS);
    ZwClose(reader);
    ZwClose(writer);
}

TEST(Registry, QueryPartialInformationByBufferLength) {
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(SetDword(key, u"Gain", 0x44332211), STATUS_SUCCESS);
    struct Case {
        ULONG length;
        NTSTATUS status;
        size_t written;  // bytes of the record that must be filled in
    } cases[] = {{0, STATUS_BUFFER_TOO_SMALL, 0},  {11, STATUS_BUFFER_TOO_SMALL, 0},
                 {12, STATUS_BUFFER_OVERFLOW, 12}, {14, STATUS_BUFFER_OVERFLOW, 14},
                 {16, STATUS_SUCCESS, 16},         {32, STATUS_SUCCESS, 16}};
    const UCHAR expected[16] = {0, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0x11, 0x22, 0x33, 0x44};
    UNICODE_STRING name = Name(u"Gain");
    for (const Case& c : cases) {
        UCHAR buffer[40];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, c.length, &result),
            c.status)
            << c.length;
        EXPECT_EQ(result, 16u);
        EXPECT_EQ(std::memcmp(buffer, expected, c.written), 0) << c.length;
        EXPECT_EQ(buffer[c.written], 0xEE) << c.length;  // nothing past what fitted
    }
    ULONG result = 99;
    UCHAR buffer[16];
    UNICODE_STRING missing = Name(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, 16, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 99u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KEY_VALUE_INFORMATION_CLASS(99), buffer, 16, &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST(Registry, ValuesComeBackAsStored) {
    const char16_t text[] = u"Bayer";  // stored with its terminator, as drivers write REG_SZ
    struct Case {
        ULONG type;
        const void* data;
        ULONG size;
    } cases[] = {{REG_SZ, text, sizeof text}, {REG_BINARY, "", 0}, {0x12345678, "\x01\x02\x03", 3}};
    HANDLE key = OpenDriverKey();
    UNICODE_STRING name = Name(u"Value");
    for (const Case& c : cases) {
        ASSERT_EQ(ZwSetValueKey(key, &name, 0, c.type, const_cast<void*>(c.data), c.size),
                  STATUS_SUCCESS);
        UCHAR buffer[64];
        ULONG result = 0;
        ASSERT_EQ(
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        EXPECT_EQ(info->Type, c.type);
        ASSERT_EQ(info->DataLength, c.size);
        EXPECT_EQ(std::memcmp(info->Data, c.data, c.size), 0);
    }
    ZwClose(key);
}

TEST(Registry, KeysUsedFromSeveralThreadsKeepEveryValue) {
    auto worker = [](const char16_t* keyName) {
        HANDLE root = OpenDriverKey(), key = nullptr;
        ASSERT_EQ(CreateKey(root, keyName, &key), STATUS_SUCCESS);
        for (ULONG i = 0; i < 200; ++i)
            ASSERT_EQ(SetDword(key, u"Counter", i), STATUS_SUCCESS);
        ZwClose(key);
        ZwClose(root);
    };
    std::thread a(worker, u"A"), b(worker, u"B");
    a.join();
    b.join();
    for (const char* k : {"\\A", "\\B"}) {
        host::RegistryValue v;
        ASSERT_TRUE(host::RegistryGetValue(host::kDriverKeyPath + std::string(k), "Counter", &v));
        EXPECT_EQ(v.data, (std::vector<uint8_t>{199, 0, 0, 0}));
    }
}

class RegistryDeathTest : public testing::Test {
protected:
    // Forked, so the child inherits the hive instead of making one it could not remove.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_F(RegistryDeathTest, ClosingAHandleTwice) {
    HANDLE key = OpenDriverKey();
    ZwClose(key);
    EXPECT_DEATH(ZwClose(key), "BUG CHECK: INVALID_KERNEL_HANDLE: ZwClose");
}

TEST_F(RegistryDeathTest, CallingAbovePassiveLevel) {
    HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t(4));
    DEVICE_OBJECT pdo{};
    std::function<void()> calls[] = {
        [&] { IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &bogus); },
        [&] { CreateKey(bogus, u"Key", &bogus); },
        [&] { ZwQueryValueKey(bogus, nullptr, KeyValuePartialInformation, nullptr, 0, nullptr); },
        [&] { ZwSetValueKey(bogus, nullptr, 0, REG_NONE, nullptr, 0); }, [&] { ZwClose(bogus); }};
    for (auto& call : calls) {
        EXPECT_DEATH(
            {
                host::RaiseIrqlToDispatch();
                call();
            },
            "BUG CHECK: IRQL_NOT_LESS_OR_EQUAL");
    }
}

TEST(RegistryHive, ValuesSurviveInTheFileWhichIsReplacedNotRewritten) {
    TempDir dir;
    std::string path = dir.File("SYSTEM");
    std::string error;
    ASSERT_TRUE(host::RegistryOpenHive(path, &error)) << error;
    EXPECT_EQ(fs::file_size(path), 8192u);
    struct stat before {
    }, after{};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(SetDword(key, u"Gain", 42), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    ASSERT_TRUE(host::RegistryCloseHive(&error)) << error;

    host::RegistryValue v;
    EXPECT_FALSE(host::RegistryGetValue(host::kDriverKeyPath, "Gain", &v));
    ASSERT_TRUE(host::RegistryOpenHive(path, &error)) << error;
    ASSERT_TRUE(host::RegistryGetValue(host::kDriverKeyPath, "Gain", &v));
    EXPECT_EQ(v.data, (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(RegistryHive, WhatIsNotAHiveIsRefusedAndLeftAlone) {
    TempDir dir;
    std::string garbage = dir.File("garbage"), shortFile = dir.File("short");
    std::ofstream(garbage, std::ios::binary) << std::string(10000, 'g');
    std::ofstream(shortFile, std::ios::binary) << "regf" << std::string(100, '\0');
    fs::create_directory(dir.File("directory"));
    for (const std::string& path : {garbage, shortFile, dir.File("directory")}) {
        std::string contents = fs::is_directory(path) ? "" : ReadFile(path), error;
        EXPECT_FALSE(host::RegistryOpenHive(path, &error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        if (!fs::is_directory(path)) {
            EXPECT_EQ(ReadFile(path), contents);
        }
    }
    EXPECT_TRUE(fs::is_empty(dir.File("directory")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 3);
}

TEST(RegistryHive, SavingTheSameSettingsAgainDoesNotGrowTheFile) {
    TempDir dir;
    std::string path = dir.File("SYSTEM"), error;
    ASSERT_TRUE(host::RegistryOpenHive(path, &error)) << error;
    char16_t names[24][8];
    for (int cycle = 0; cycle < 100; ++cycle) {
        HANDLE root = OpenDriverKey(), key = nullptr;
        ASSERT_EQ(CreateKey(root, u"Settings", &key), STATUS_SUCCESS);
        for (int i = 0; i < 24; ++i) {
            std::u16string n = u"Value" + std::u16string(1, char16_t(u'A' + i));
            std::copy(n.c_str(), n.c_str() + n.size() + 1, names[i]);
            ASSERT_EQ(SetDword(key, names[i], ULONG(i * 3)), STATUS_SUCCESS);
        }
        ZwClose(key);
        ZwClose(root);
    }
    ASSERT_TRUE(host::RegistryCloseHive(&error)) << error;
    EXPECT_LE(fs::file_size(path), 16384u);
}

// hivex's own readers, as a person inspecting the saved settings would use them.
std::string RunTool(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
        out.append(buffer, n);
    *status = pclose(p);
    return out;
}

TEST(RegistryHive, HivexToolsReadTheWrittenHive) {
    for (const char* tool : {"/usr/bin/hivexregedit", "/usr/bin/hivexml"}) {
        if (!fs::exists(tool))
            GTEST_SKIP() << tool << " is not installed";
    }
    TempDir dir;
    std::string path = dir.File("SYSTEM"), error;
    ASSERT_TRUE(host::RegistryOpenHive(path, &error)) << error;
    HANDLE root = OpenDriverKey(), key = nullptr;
    ASSERT_EQ(CreateKey(root, u"Settings", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Brightness", 0x2A), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(root);
    ASSERT_TRUE(host::RegistryCloseHive(&error)) << error;

    int status = -1;
    std::string reg = RunTool("hivexregedit --export '" + path + "' '\\\\' 2>&1", &status);
    EXPECT_EQ(status, 0) << reg;
    EXPECT_NE(reg.find("[\\" + kSettingsPath + "]\n\"Brightness\"=dword:0000002a"),
              std::string::npos)
        << reg;
    std::string xml = RunTool("hivexml '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << xml;
    EXPECT_NE(xml.find("Brightness"), std::string::npos) << xml;
}

}  // namespace
