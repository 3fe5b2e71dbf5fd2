// Pins: the checks of a connect request, the format offered before Create, instances, the state
// walk and its rollback, the walk down at close, format changes and edited descriptors.
#include "tests/platform/ks_pin_driver.h"

namespace ks_pin_test {
namespace {

using Log = std::vector<std::string>;
using PinTest = OpenFilter;

TEST_F(PinTest, Creation) {
    const KSDATAFORMAT exact = Format(kVideo, kSubA, kSpecA);
    const KSDATAFORMAT anySub = Format(kVideo, kSubB, kSpecB);
    KSDATAFORMAT shortFormat = exact;
    shortFormat.FormatSize = sizeof(KSDATAFORMAT) - 8;
    const struct {
        const char* what;
        ULONG pinId;
        KSDATAFORMAT format;
        NTSTATUS range0, range1, create;
        NTSTATUS status;
        Log log;
    } cases[] = {
        {"exact range",
         kCapturePin,
         exact,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         {"format 0 new", "create"}},
        {"wildcard sub-format",
         kCapturePin,
         anySub,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         {"format 1 new", "create"}},
        {"wildcard major format",
         kRunOnlyPin,
         Format(kAudio, kSubB, kSpecB),
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         {"format 0 new", "create"}},
        {"no match goes on to the next range",
         kCapturePin,
         Format(kVideo, kSubA, kSpecB),
         STATUS_NO_MATCH,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         {"format 1 new", "create"}},
        {"both ranges refuse",
         kCapturePin,
         Format(kVideo, kSubA, kSpecB),
         STATUS_NO_MATCH,
         STATUS_NO_MATCH,
         STATUS_SUCCESS,
         STATUS_NO_MATCH,
         {"format 1 new"}},
        {"range refused with an error",
         kCapturePin,
         exact,
         STATUS_INVALID_PARAMETER,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_INVALID_PARAMETER,
         {"format 0 new"}},
        {"specifier outside the exact range: only the other is offered",
         kCapturePin,
         Format(kVideo, kSubA, kSpecB),
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         {"format 1 new", "create"}},
        {"major format outside every range",
         kCapturePin,
         Format(kAudio, kSubA, kSpecA),
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_NO_MATCH,
         {}},
        {"no such pin",
         2,
         exact,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_INVALID_PARAMETER,
         {}},
        {"format shorter than KSDATAFORMAT",
         kCapturePin,
         shortFormat,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_INVALID_BUFFER_SIZE,
         {}},
        {"Create refuses: the bag is emptied",
         kCapturePin,
         exact,
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_ACCESS_DENIED,
         STATUS_ACCESS_DENIED,
         {"format 0 new", "create", "free"}},
    };
    for (const auto& c : cases) {
        behaviour.formatStatus[0] = c.range0;
        behaviour.formatStatus[1] = c.range1;
        behaviour.createStatus = c.create;
        PFILE_OBJECT pin = reinterpret_cast<PFILE_OBJECT>(1);
        EXPECT_EQ(host::CreatePin(filter_, c.pinId, &c.format, &pin), c.status) << c.what;
        EXPECT_EQ(recorded.Take(), c.log) << c.what;
        if (NT_SUCCESS(c.status)) {
            // The pin's format is its own copy of the client's.
            EXPECT_NE(recorded.pin->ConnectionFormat, &c.format) << c.what;
            EXPECT_EQ(memcmp(recorded.pin->ConnectionFormat, &c.format, sizeof(KSDATAFORMAT)), 0)
                << c.what;
            EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
            EXPECT_EQ(recorded.Take(), (Log{"close", "free"})) << c.what;
        } else {
            EXPECT_EQ(pin, nullptr) << c.what;
        }
    }
}

TEST_F(PinTest, ASecondInstanceBeyondInstancesPossibleIsRefused) {
    PFILE_OBJECT first = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CINSTANCES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = kCapturePin;
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(host::KsPropertyRequest(filter_, &request, sizeof(request), &instances,
                                      sizeof(instances), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 1u);

    const KSDATAFORMAT format = Format(kVideo, kSubA, kSpecA);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(host::CreatePin(filter_, kCapturePin, &format, &second), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(recorded.Take().empty());
    EXPECT_EQ(host::ClosePin(first), STATUS_SUCCESS);
    // Once the first is gone, the pin can be made again.
    ASSERT_EQ(host::CreatePin(filter_, kCapturePin, &format, &second), STATUS_SUCCESS);
    EXPECT_EQ(host::ClosePin(second), STATUS_SUCCESS);
}

TEST_F(PinTest, StateWalk) {
    const struct {
        const char* what;
        KSSTATE start, target;
        int refuse;
        NTSTATUS status;
        KSSTATE device, client;
        Log log;
    } cases[] = {
        {"up, one step at a time",
         KSSTATE_STOP,
         KSSTATE_RUN,
         kRefuseNone,
         STATUS_SUCCESS,
         KSSTATE_RUN,
         KSSTATE_RUN,
         {"state 0>1 client 1", "state 1>2 client 2", "state 2>3 client 3"}},
        {"down, one step at a time",
         KSSTATE_RUN,
         KSSTATE_STOP,
         kRefuseNone,
         STATUS_SUCCESS,
         KSSTATE_STOP,
         KSSTATE_STOP,
         {"state 3>2 client 2", "state 2>1 client 1", "state 1>0 client 0"}},
        {"a refused step ends the walk and is rolled back",
         KSSTATE_STOP,
         KSSTATE_RUN,
         KSSTATE_PAUSE,
         STATUS_UNSUCCESSFUL,
         KSSTATE_ACQUIRE,
         KSSTATE_ACQUIRE,
         {"state 0>1 client 1", "state 1>2 client 2"}},
        {"the same state calls nothing",
         KSSTATE_PAUSE,
         KSSTATE_PAUSE,
         kRefuseNone,
         STATUS_SUCCESS,
         KSSTATE_PAUSE,
         KSSTATE_PAUSE,
         {}},
    };
    for (const auto& c : cases) {
        PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
        ASSERT_EQ(host::SetPinState(pin, c.start), STATUS_SUCCESS) << c.what;
        recorded.Take();
        behaviour.refuseTo = c.refuse;
        EXPECT_EQ(host::SetPinState(pin, c.target), c.status) << c.what;
        EXPECT_EQ(recorded.Take(), c.log) << c.what;
        EXPECT_EQ(recorded.pin->DeviceState, c.device) << c.what;
        EXPECT_EQ(recorded.pin->ClientState, c.client) << c.what;
        behaviour.refuseTo = kRefuseNone;
        EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
    }
}

TEST_F(PinTest, StatesOutsideTheFourAreRefused) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    // An application's value, not a KSSTATE: sent as the 32 bits it is.
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    ULONG state = 4, returned = 0;
    EXPECT_EQ(
        host::KsPropertyRequest(pin, &request, sizeof(request), &state, sizeof(state), &returned),
        STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(recorded.Take().empty());
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(PinTest, CloseWalksDownToStopEvenPastARefusal) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    ASSERT_EQ(host::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    recorded.Take();
    behaviour.refuseTo = KSSTATE_ACQUIRE;
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(recorded.Take(), (Log{"state 3>2 client 2", "state 2>1 client 1",
                                    "state 1>0 client 0", "close", "free"}));
}

TEST_F(PinTest, FormatChange) {
    const struct {
        const char* what;
        KSDATAFORMAT format;
        ULONG length;
        NTSTATUS range1;
        NTSTATUS status;
        GUID kept;
        Log log;
    } cases[] = {
        {"accepted",
         Format(kVideo, kSubB, kSpecB),
         sizeof(KSDATAFORMAT),
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         kSubB,
         {"format 1 old"}},
        {"refused: the old format stays",
         Format(kVideo, kSubB, kSpecB),
         sizeof(KSDATAFORMAT),
         STATUS_NOT_SUPPORTED,
         STATUS_NOT_SUPPORTED,
         kSubA,
         {"format 1 old"}},
        {"outside every range",
         Format(kAudio, kSubB, kSpecB),
         sizeof(KSDATAFORMAT),
         STATUS_SUCCESS,
         STATUS_NO_MATCH,
         kSubA,
         {}},
        {"FormatSize not the value's size",
         Format(kVideo, kSubB, kSpecB),
         sizeof(KSDATAFORMAT) + 8,
         STATUS_SUCCESS,
         STATUS_INVALID_PARAMETER,
         kSubA,
         {}},
    };
    for (const auto& c : cases) {
        PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
        behaviour.formatStatus[1] = c.range1;
        KSPROPERTY request{};
        request.Set = KSPROPSETID_Connection;
        request.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
        request.Flags = KSPROPERTY_TYPE_SET;
        char value[sizeof(KSDATAFORMAT) + 8] = {};
        memcpy(value, &c.format, sizeof(c.format));
        EXPECT_EQ(host::KsPropertyRequest(pin, &request, sizeof(request), value, c.length, nullptr),
                  c.status)
            << c.what;
        EXPECT_EQ(recorded.Take(), c.log) << c.what;
        if (!c.log.empty()) {
            // The driver judged the new format as the pin's ConnectionFormat.
            EXPECT_EQ(memcmp(&recorded.seenFormat.SubFormat, &kSubB, sizeof(GUID)), 0) << c.what;
        }
        EXPECT_EQ(memcmp(&recorded.pin->ConnectionFormat->SubFormat, &c.kept, sizeof(GUID)), 0)
            << c.what;
        EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS) << c.what;
    }
}

TEST_F(PinTest, CreateEditsItsOwnCopyOfTheDescriptorAndFraming) {
    behaviour.editDescriptor = true;
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    PKSPIN ks = recorded.pin;
    EXPECT_NE(ks->Descriptor, &kPins[kCapturePin]);
    EXPECT_EQ(ks->Descriptor->Dispatch, kPins[kCapturePin].Dispatch);
    EXPECT_NE(ks->Descriptor->AllocatorFraming, &kFraming);
    EXPECT_EQ(ks->Descriptor->AllocatorFraming->FramingItem[0].Frames, 7u);
    EXPECT_EQ(kFraming.FramingItem[0].Frames, 3u);  // the shared original is untouched
    EXPECT_EQ(host::PoolLiveCount(kEditTag), 2u);
    // The edited descriptor is the one AVStream goes on using: its dispatch still runs.
    EXPECT_EQ(host::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(recorded.Take(), (Log{"state 0>1 client 1"}));
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolLiveCount(kEditTag), 0u);
}

TEST_F(PinTest, EditingAnItemAlreadyInTheBagKeepsItUnlessItGrows) {
    PFILE_OBJECT pin = Connect(kCapturePin, Format(kVideo, kSubA, kSpecA));
    PKSPIN ks = recorded.pin;
    PKSFILTER filter = KsPinGetParentFilter(ks);
    KsFilterAcquireControl(filter);  // the pin's bag is guarded by its filter's control mutex
    ULONG original = 5;
    PVOID item = &original;
    ASSERT_EQ(_KsEdit(ks->Bag, &item, sizeof(ULONG), sizeof(ULONG), kEditTag), STATUS_SUCCESS);
    PVOID copy = item;
    EXPECT_NE(copy, &original);
    EXPECT_EQ(*static_cast<ULONG*>(copy), 5u);
    ASSERT_EQ(_KsEdit(ks->Bag, &item, sizeof(ULONG), sizeof(ULONG), kEditTag), STATUS_SUCCESS);
    EXPECT_EQ(item, copy);
    ASSERT_EQ(_KsEdit(ks->Bag, &item, 2 * sizeof(ULONG), sizeof(ULONG), kEditTag), STATUS_SUCCESS);
    EXPECT_NE(item, copy);
    EXPECT_EQ(static_cast<ULONG*>(item)[0], 5u);
    EXPECT_EQ(static_cast<ULONG*>(item)[1], 0u);
    EXPECT_EQ(host::PoolLiveCount(kEditTag), 1u);  // the smaller copy went with the growth
    KsFilterReleaseControl(filter);
    EXPECT_EQ(host::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolLiveCount(kEditTag), 0u);
}

}  // namespace
}  // namespace ks_pin_test
