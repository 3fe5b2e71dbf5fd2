// The filter and pin descriptors as constant tables, and the filter's Create and Close.
#include "stream/filter.h"

#include "control/property_set.h"
#include "control/region_of_interest.h"
#include "control/settings_store.h"
#include "driver/pool_tags.h"
#include "stream/pin.h"

namespace {

const KSFILTER_DISPATCH FilterDispatch = {
    FilterCreate,  // Create
    FilterClose,   // Close
    nullptr,       // Process: processing is pin-centric
    nullptr,       // Reset
};

const KSAUTOMATION_TABLE FilterAutomation = {
    RTL_NUMBER_OF(CameraPropertySets),
    sizeof(KSPROPERTY_ITEM),
    CameraPropertySets,
    0,
    sizeof(KSMETHOD_ITEM),
    nullptr,
    0,
    sizeof(KSEVENT_ITEM),
    nullptr,
};

const GUID FilterReferenceGuid = {STATIC_KSNAME_Filter};
const GUID FilterCategories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
};
const GUID PinCategory = {STATIC_PIN_CATEGORY_CAPTURE};
const GUID PinName = {STATIC_PINNAME_VIDEO_CAPTURE};

// The one data range is the driver-wide one the region of interest rewrites.
const PKSDATARANGE PinDataRanges[] = {&VideoDataRange.DataRange};

}  // namespace

const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression: ratio 1/1, no margin
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},  // MemoryType
        {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},     // BusType: don't care
        0,                                       // MemoryFlags
        0,                                       // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,                        // Frames
        0,                        // FileAlignment: bytes
        0,                        // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},       // PhysicalRange
        {{8192, 8192, 1}, 0, 0},  // FramingRange, in-place and not-in-place weights
    }},
};

const KSPIN_DESCRIPTOR_EX CapturePinDescriptor = {
    &CapturePinDispatch,
    nullptr,  // AutomationTable
    {
        0,
        nullptr,  // Interfaces: the standard one
        0,
        nullptr,  // Mediums: the standard one
        RTL_NUMBER_OF(PinDataRanges),
        PinDataRanges,
        KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_BOTH,
        &PinCategory,
        &PinName,
        {0},  // no constrained data ranges
    },
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,  // InstancesPossible
    1,  // InstancesNecessary
    &CaptureAllocatorFraming,
    IntersectVideoFormat,
};

const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &FilterDispatch,
    &FilterAutomation,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &FilterReferenceGuid,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    &CapturePinDescriptor,
    RTL_NUMBER_OF(FilterCategories),
    FilterCategories,
    0,  // no nodes
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,
    0,  // no connections
    nullptr,
    nullptr,  // no component id
};

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP) {
    auto* record = static_cast<FilterContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterContext), kTagRecord));
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    record->Filter = filter;
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, record, FreeItem);
    if (!NT_SUCCESS(status)) {
        FreeItem(record);
        return status;
    }
    filter->Context = record;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
    PKSDEVICE device = KsFilterGetDevice(filter);
    auto* context = device ? static_cast<DeviceContext*>(device->Context) : nullptr;
    if (context)
        SaveSettings(context);
    return STATUS_SUCCESS;
}
