// A minimal AVStream driver for testing the host's pins: one filter factory ("GLOBAL") with a
// capture pin (one instance, two ranges, the second with a wildcard sub-format) and a pin that
// processes only in RUN. Every dispatch is written to a log the tests compare; what each
// dispatch answers is set by the test first.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_control.h"

namespace ks_pin_test {

constexpr GUID kVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
constexpr GUID kAudio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSubA = {0x11111111, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSubB = {0x22222222, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSpecA = {0x33333333, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSpecB = {0x44444444, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};

enum : ULONG { kCapturePin = 0, kRunOnlyPin = 1 };
constexpr ULONG kEditTag = host::PoolTag("PnEd");

// No state: no step is refused. Kept out of KSSTATE, whose values are the four states.
constexpr int kRefuseNone = -1;

// What the driver answers, set by a test before it acts.
struct Behaviour {
    NTSTATUS formatStatus[2] = {STATUS_SUCCESS, STATUS_SUCCESS};  // per range of the pin
    NTSTATUS createStatus = STATUS_SUCCESS;
    int refuseTo = kRefuseNone;  // the step into this state fails with refuseStatus
    NTSTATUS refuseStatus = STATUS_UNSUCCESSFUL;
    bool editDescriptor = false;   // Create copies its descriptor and framing
    bool blockProcess = false;     // Process waits for `release` after signalling `entered`
    bool fillFrames = false;       // Process fills and ejects every queued frame
    bool takeClock = false;        // ACQUIRE takes the clock, STOP releases it
    bool keepClock = false;        // ...and never releases it
    bool ejectTooMuch = false;     // fills DataUsed beyond FrameExtent
    bool holdFrameLocked = false;  // Process locks the frame and leaves it locked
};

struct Recorded {
    std::mutex lock;
    std::vector<std::string> log;
    std::atomic<int> passes{0};
    std::atomic<bool> inProcess{false};
    bool stateSawPass = false;  // a SetDeviceState ran while a pass was in Process
    KSSTREAM_POINTER_OFFSET offset{};
    NTSTATUS clockStatus = STATUS_PENDING;
    LONGLONG streamTime = 0;
    LONGLONG systemTime = 0;
    PKSPIN pin = nullptr;
    KSDATAFORMAT seenFormat{};  // ConnectionFormat as SetDataFormat saw it
    void Add(const std::string& line);
    std::vector<std::string> Take();
};

extern Behaviour behaviour;
extern Recorded recorded;
extern KEVENT entered;
extern KEVENT release;
extern const KSPIN_DESCRIPTOR_EX kPins[2];
extern const KSALLOCATOR_FRAMING_EX kFraming;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

KSDATAFORMAT Format(const GUID& major, const GUID& sub, const GUID& specifier);

// A started device of the test driver with its filter open, both gone after the test.
class OpenFilter : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    PFILE_OBJECT Connect(ULONG pinId, const KSDATAFORMAT& format);

    PKSDEVICE device_ = nullptr;
    PFILE_OBJECT filter_ = nullptr;
};

}  // namespace ks_pin_test
