#include "tests/platform/ks_test_driver.h"

namespace ks_test {

Behaviour behaviour;
std::vector<std::string> events;
ULONG storedValue = 0;

namespace {

const ULONG kTag = host::PoolTag("Test");

void NTAPI FreeRecorded(PVOID item) {
    events.push_back("free");
    ExFreePoolWithTag(item, kTag);
}

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
    events.push_back("create");
    // What AVStream promises a Create: the device mutex, the filter behind the request, the
    // device's context inherited through the factory, and a bag the filter may fill.
    EXPECT_TRUE(host::DeviceLockHeld(KsFilterGetDevice(filter)));
    EXPECT_EQ(KsGetFilterFromIrp(irp), filter);
    EXPECT_EQ(filter->Context, KsFilterGetDevice(filter)->Context);
    PVOID item = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_EQ(KsAddItemToObjectBag(filter->Bag, item, FreeRecorded), STATUS_SUCCESS);
    return behaviour.createStatus;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
    events.push_back("close");
    EXPECT_TRUE(host::DeviceLockHeld(KsFilterGetDevice(filter)));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
    // Writes eight bytes but reports four: only the reported bytes may reach the caller.
    ULONGLONG wide = 0xEEEEEEEE00000000ull | storedValue;
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    memcpy(data, &wide, room >= sizeof(wide) ? sizeof(wide) : sizeof(ULONG));
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetValue(PIRP, PKSIDENTIFIER, PVOID data) {
    memcpy(&storedValue, data, sizeof(storedValue));
    return STATUS_SUCCESS;
}

#define ITEM(id, get, set, minProperty, minData) \
    { (id), {(get)}, (minProperty), (minData), {(set)}, nullptr, 0, nullptr, nullptr, 0 }
const KSPROPERTY_ITEM kItems[] = {
    ITEM(kReadWrite, GetValue, SetValue, sizeof(KSPROPERTY), sizeof(ULONG)),
    ITEM(kReadOnly, GetValue, nullptr, sizeof(KSPROPERTY), sizeof(ULONG)),
    ITEM(kWriteOnly, nullptr, SetValue, sizeof(KSPROPERTY), sizeof(ULONG)),
    ITEM(kNeedsInstance, GetValue, nullptr, sizeof(KSPROPERTY) + 8, sizeof(ULONG)),
};
#undef ITEM
const KSPROPERTY_SET kSets[] = {{&kTestSet, ULONG(RTL_NUMBER_OF(kItems)), kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kAutomation = {1,      sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0,
                                        nullptr};

// A range whose FormatSize (68) is not a multiple of 8, to show the padding in lists.
struct LongRange {
    KSDATARANGE range;
    ULONG tail;
};
LongRange rangeA = {{{68, 0, 0, 0, kVideo, kSubA, kSpecA}}, 0xABCDEF01};
KSDATARANGE rangeB = {{sizeof(KSDATARANGE), 0, 0, 0, kVideo, kSubB, kSpecA}};
KSDATARANGE rangeNone = {
    {sizeof(KSDATARANGE), 0, 0, 0, kVideo, kSubA, {STATIC_KSDATAFORMAT_SPECIFIER_NONE}}};
const PKSDATARANGE kCaptureRanges[] = {&rangeA.range, &rangeB};
const PKSDATARANGE kInputRanges[] = {&rangeNone};

// Settles only the range named in `behaviour.settles`, with a format that is the range itself.
NTSTATUS NTAPI Intersect(PVOID context, PIRP irp, PKSP_PIN, PKSDATARANGE, PKSDATARANGE own,
                         ULONG bufferSize, PVOID data, PULONG dataSize) {
    EXPECT_EQ(context, KsGetFilterFromIrp(irp));
    bool isA = own == &rangeA.range;
    events.push_back(isA ? "intersect A" : "intersect B");
    if ((isA ? 0 : 1) != behaviour.settles)
        return STATUS_NO_MATCH;
    *dataSize = own->FormatSize;
    if (bufferSize == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (bufferSize < own->FormatSize)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(data, own, own->FormatSize);
    return STATUS_SUCCESS;
}

const GUID kCategories[] = {{STATIC_KSCATEGORY_VIDEO}, {STATIC_KSCATEGORY_CAPTURE}};
const GUID kPinCategory = {STATIC_PIN_CATEGORY_CAPTURE};
const GUID kPinName = {STATIC_PINNAME_VIDEO_CAPTURE};

const KSPIN_DESCRIPTOR_EX kPins[] = {
    {nullptr,
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
      &kPinName,
      {0}},
     0,
     1,
     0,
     nullptr,
     Intersect},
    {nullptr,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      1,
      kInputRanges,
      KSPIN_DATAFLOW_IN,
      KSPIN_COMMUNICATION_SINK,
      nullptr,
      nullptr,
      {0}},
     0,
     KSINSTANCE_INDETERMINATE,
     0,
     nullptr,
     nullptr},
};

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    KsAcquireDevice(device);
    static WCHAR reference[] = u"GLOBAL";
    NTSTATUS status =
        KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, reference, nullptr,
                              behaviour.factoryFlags, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}

void NTAPI Stop(PKSDEVICE device, PIRP) {
    // The factory's create item is still in place while the driver stops.
    events.push_back("stop with " + std::to_string(host::FilterFactoryCount(device)));
}

const KSDEVICE_DISPATCH kDeviceDispatch = {nullptr, Start,   nullptr, nullptr, nullptr,
                                           Stop,    nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

}  // namespace

const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
                                     &kAutomation,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     nullptr,
                                     2,
                                     sizeof(KSPIN_DESCRIPTOR_EX),
                                     kPins,
                                     2,
                                     kCategories,
                                     0,
                                     sizeof(KSNODE_DESCRIPTOR),
                                     nullptr,
                                     0,
                                     nullptr,
                                     nullptr};

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driver, registryPath, &kDevice);
}

void StartedDevice::SetUp() {
    behaviour = Behaviour{};
    events.clear();
    storedValue = 0;
    ASSERT_EQ(host::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host::AddDevice(nullptr, &device_), STATUS_SUCCESS);
    ASSERT_EQ(host::StartDevice(device_), STATUS_SUCCESS);
}

void StartedDevice::TearDown() {
    host::RemoveDevice(device_);
}

PFILE_OBJECT StartedDevice::Open() {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(host::OpenFilter(device_, "GLOBAL", &file), STATUS_SUCCESS);
    return file;
}

}  // namespace ks_test
