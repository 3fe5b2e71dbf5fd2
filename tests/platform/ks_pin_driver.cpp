#include "tests/platform/ks_pin_driver.h"

namespace ks_pin_test {

Behaviour behaviour;
Recorded recorded;
KEVENT entered;
KEVENT release;

void Recorded::Add(const std::string& line) {
    std::lock_guard<std::mutex> g(lock);
    log.push_back(line);
}

std::vector<std::string> Recorded::Take() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> out;
    out.swap(log);
    return out;
}

KSDATAFORMAT Format(const GUID& major, const GUID& sub, const GUID& specifier) {
    KSDATAFORMAT format{};
    format.FormatSize = sizeof(KSDATAFORMAT);
    format.MajorFormat = major;
    format.SubFormat = sub;
    format.Specifier = specifier;
    return format;
}

namespace {

const ULONG kTag = host::PoolTag("PnTs");

KSDATARANGE rangeExact = {{sizeof(KSDATARANGE), 0, 0, 0, kVideo, kSubA, kSpecA}};
KSDATARANGE rangeAnySub = {{sizeof(KSDATARANGE), 0, 0, 0, kVideo, {STATIC_GUID_NULL}, kSpecB}};
KSDATARANGE rangeAny = {{sizeof(KSDATARANGE), 0, 0, 0, {STATIC_GUID_NULL}, kSubA, kSpecA}};
const PKSDATARANGE kCaptureRanges[] = {&rangeExact, &rangeAnySub};
const PKSDATARANGE kAnyRanges[] = {&rangeAny};

int RangeIndex(PKSPIN pin, const KSDATARANGE* range) {
    const KSPIN_DESCRIPTOR& d = pin->Descriptor->PinDescriptor;
    for (ULONG i = 0; i < d.DataRangesCount; ++i) {
        if (d.DataRanges[i] == range)
            return int(i);
    }
    return -1;
}

void NTAPI FreeRecorded(PVOID item) {
    recorded.Add("free");
    ExFreePoolWithTag(item, kTag);
}

NTSTATUS NTAPI SetDataFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM,
                             const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
    int index = RangeIndex(pin, range);
    recorded.Add("format " + std::to_string(index) + (old ? " old" : " new"));
    recorded.seenFormat = *pin->ConnectionFormat;
    return index >= 0 ? behaviour.formatStatus[index] : STATUS_NO_MATCH;
}

NTSTATUS NTAPI Create(PKSPIN pin, PIRP irp) {
    recorded.Add("create");
    recorded.pin = pin;
    EXPECT_EQ(KsGetPinFromIrp(irp), pin);
    EXPECT_EQ(KsGetFilterFromIrp(irp), KsPinGetParentFilter(pin));
    EXPECT_EQ(pin->Context, KsPinGetParentFilter(pin)->Context);
    EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);
    EXPECT_EQ(pin->ClientState, KSSTATE_STOP);
    // A bag item the pin's close must free.
    PVOID item = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_EQ(KsAddItemToObjectBag(pin->Bag, item, FreeRecorded), STATUS_SUCCESS);
    if (behaviour.editDescriptor) {
        EXPECT_EQ(_KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                          sizeof(KSPIN_DESCRIPTOR_EX), kEditTag),
                  STATUS_SUCCESS);
        auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
        EXPECT_EQ(_KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming,
                          sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kEditTag),
                  STATUS_SUCCESS);
        const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)->FramingItem[0].Frames =
            7;
    }
    return behaviour.createStatus;
}

NTSTATUS NTAPI Close(PKSPIN, PIRP) {
    recorded.Add("close");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    recorded.Add("state " + std::to_string(from) + ">" + std::to_string(to) + " client " +
                 std::to_string(pin->ClientState));
    if (recorded.inProcess)
        recorded.stateSawPass = true;
    if (int(to) == behaviour.refuseTo)
        return behaviour.refuseStatus;
    if (behaviour.takeClock && to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
        PIKSREFERENCECLOCK clock = nullptr;
        recorded.clockStatus = KsPinGetReferenceClockInterface(pin, &clock);
        if (clock) {
            recorded.streamTime = clock->GetCorrelatedTime(&recorded.systemTime);
            if (!behaviour.keepClock)
                clock->Release();
        }
    }
    return STATUS_SUCCESS;
}

void FillFrames(PKSPIN pin) {
    while (PKSSTREAM_POINTER sp =
               KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
        recorded.offset = sp->OffsetOut;
        if (behaviour.holdFrameLocked)
            return;
        ULONG used = sp->OffsetOut.Count < 10 ? sp->OffsetOut.Count : 10;
        memset(sp->OffsetOut.Data, 0xA5, used);
        sp->StreamHeader->DataUsed = behaviour.ejectTooMuch ? sp->OffsetOut.Count + 1 : used;
        sp->StreamHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
        sp->StreamHeader->PresentationTime.Time = 1234;
        if (sp->StreamHeader->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO))
            reinterpret_cast<PKS_FRAME_INFO>(sp->StreamHeader + 1)->PictureNumber = 42;
        KsStreamPointerUnlock(sp, TRUE);
    }
}

NTSTATUS NTAPI Process(PKSPIN pin) {
    recorded.inProcess = true;
    ++recorded.passes;
    if (behaviour.blockProcess) {
        KeSetEvent(&entered, 0, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    }
    if (behaviour.fillFrames)
        FillFrames(pin);
    recorded.inProcess = false;
    return STATUS_PENDING;
}

const KSPIN_DISPATCH kDispatch = {Create,         Close,   Process, nullptr, SetDataFormat,
                                  SetDeviceState, nullptr, nullptr, nullptr, nullptr};

const GUID kPinCategory = {STATIC_PIN_CATEGORY_CAPTURE};
const KSFILTER_DISPATCH kFilterDispatch = {nullptr, nullptr, nullptr, nullptr};
const GUID kCategories[] = {{STATIC_KSCATEGORY_VIDEO}};

}  // namespace

const KSALLOCATOR_FRAMING_EX kFraming = {1,
                                         0,
                                         {1, 1, 0},
                                         0,
                                         {{{STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},
                                           {STATIC_GUID_NULL},
                                           0,
                                           0,
                                           0,
                                           3,
                                           0,
                                           0,
                                           {4096, 4096, 1},
                                           {{4096, 4096, 1}, 0, 0}}}};

const KSPIN_DESCRIPTOR_EX kPins[2] = {
    {&kDispatch,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      2,
      kCaptureRanges,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH,
      &kPinCategory,
      nullptr,
      {0}},
     0,
     1,
     0,
     &kFraming,
     nullptr},
    {&kDispatch,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      1,
      kAnyRanges,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH,
      &kPinCategory,
      nullptr,
      {0}},
     KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
     KSINSTANCE_INDETERMINATE,
     0,
     nullptr,
     nullptr},
};

namespace {

const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
                                     nullptr,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     nullptr,
                                     2,
                                     sizeof(KSPIN_DESCRIPTOR_EX),
                                     kPins,
                                     1,
                                     kCategories,
                                     0,
                                     sizeof(KSNODE_DESCRIPTOR),
                                     nullptr,
                                     0,
                                     nullptr,
                                     nullptr};

NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    KsAcquireDevice(device);
    static WCHAR reference[] = u"GLOBAL";
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, reference,
                                            nullptr, 0, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

const KSDEVICE_DISPATCH kDeviceDispatch = {nullptr, Start,   nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

}  // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driver, registryPath, &kDevice);
}

void OpenFilter::SetUp() {
    behaviour = Behaviour{};
    recorded.Take();
    recorded.passes = 0;
    recorded.inProcess = false;
    recorded.stateSawPass = false;
    recorded.offset = {};
    recorded.clockStatus = STATUS_PENDING;
    recorded.pin = nullptr;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host::AddDevice(nullptr, &device_), STATUS_SUCCESS);
    ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
    ASSERT_EQ(host::OpenFilter(device_, "GLOBAL", &filter_), STATUS_SUCCESS);
}

void OpenFilter::TearDown() {
    if (filter_)
        host::CloseFilter(filter_);
    host::RemoveDevice(device_);
}

PFILE_OBJECT OpenFilter::Connect(ULONG pinId, const KSDATAFORMAT& format) {
    PFILE_OBJECT pin = nullptr;
    EXPECT_EQ(host::CreatePin(filter_, pinId, &format, &pin), STATUS_SUCCESS);
    recorded.Take();
    return pin;
}

}  // namespace ks_pin_test
