// A minimal AVStream driver for testing the host's filter support: its Start makes one filter
// factory ("GLOBAL") with a small property set and two pin factories, and every dispatch it
// receives is written to a log the tests compare.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/host_control.h"

namespace ks_test {

// {6A1D3C2E-0B7F-4E55-9A31-7C0D2B5E8F10}
constexpr GUID kTestSet = {
    0x6A1D3C2E, 0x0B7F, 0x4E55, {0x9A, 0x31, 0x7C, 0x0D, 0x2B, 0x5E, 0x8F, 0x10}};
// Formats of the pin ranges: a sub-format and a specifier no one else uses.
constexpr GUID kVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
constexpr GUID kSubA = {0x11111111, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSubB = {0x22222222, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSpecA = {0x33333333, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kNull = {STATIC_GUID_NULL};

// Property ids of kTestSet.
enum : ULONG { kReadWrite = 0, kReadOnly = 1, kWriteOnly = 2, kNeedsInstance = 3 };

// What the driver does, set by a test before it acts.
struct Behaviour {
    ULONG factoryFlags = KSCREATE_ITEM_FREEONSTOP;
    NTSTATUS createStatus = STATUS_SUCCESS;
    // Pin ranges (0 = A, 1 = B) the intersect handler settles; it refuses the others.
    int settles = 1;
};

extern Behaviour behaviour;
extern std::vector<std::string> events;  // "create", "close", "stop", "free", "intersect A/B"
extern ULONG storedValue;
extern const KSFILTER_DESCRIPTOR kFilter;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A started device of the test driver, removed after the test.
class StartedDevice : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    PFILE_OBJECT Open();

    PKSDEVICE device_ = nullptr;
};

}  // namespace ks_test
