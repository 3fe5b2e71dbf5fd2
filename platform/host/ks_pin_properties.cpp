// The pin-factory properties AVStream answers on every filter from its descriptor: how many
// pin types, their instances, data flow, communication, data ranges, categories and names,
// and the data intersection that asks the pin's intersect handler for a format.
#include "platform/host/ks_objects.h"

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

ULONG OutLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

ULONG InLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}

uint64_t Round8(uint64_t n) {
    return (n + 7) & ~uint64_t(7);
}

PKSFILTER FilterOf(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (!filter)
        BugCheck("a pin-factory property request that did not come through a filter");
    return filter;
}

// The pin factory the request's KSP_PIN names, or null when there is none by that id.
const KSPIN_DESCRIPTOR_EX* PinOf(PIRP irp, PKSIDENTIFIER request) {
    const KSFILTER_DESCRIPTOR* d = FilterOf(irp)->Descriptor;
    ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
    if (id >= d->PinDescriptorsCount)
        return nullptr;
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(d->PinDescriptors) + size_t(id) * d->PinDescriptorSize);
}

NTSTATUS ReturnUlong(PIRP irp, PVOID data, ULONG value) {
    memcpy(data, &value, sizeof(value));
    irp->IoStatus.Information = sizeof(value);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
    return ReturnUlong(irp, data, FilterOf(irp)->Descriptor->PinDescriptorsCount);
}

NTSTATUS NTAPI CInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
    ULONG current = 0;
    HostFilter* filter = FindFilter(FilterOf(irp));
    AcquireControl(filter);  // pins come and go under it
    for (HostPin* open : filter->pins)
        current += open->ks.Id == id ? 1 : 0;
    ReleaseControl(filter);
    KSPIN_CINSTANCES instances{pin->InstancesPossible, current};
    memcpy(data, &instances, sizeof(instances));
    irp->IoStatus.Information = sizeof(instances);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    return pin ? ReturnUlong(irp, data, ULONG(pin->PinDescriptor.DataFlow))
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI Communication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    return pin ? ReturnUlong(irp, data, ULONG(pin->PinDescriptor.Communication))
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI NecessaryInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    return pin ? ReturnUlong(irp, data, pin->InstancesNecessary) : STATUS_INVALID_PARAMETER;
}

// A KSMULTIPLE_ITEM of the pin's ranges, each padded to 8 bytes. Four bytes of room give the
// total size, eight the header; anything else short of the whole is refused.
NTSTATUS NTAPI DataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& p = pin->PinDescriptor;
    uint64_t total = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < p.DataRangesCount; ++i)
        total += Round8(p.DataRanges[i]->FormatSize);
    if (total > 0xFFFFFFFFull)
        BugCheck("a pin's data ranges add up to more than a property can carry");
    KSMULTIPLE_ITEM header{ULONG(total), p.DataRangesCount};
    ULONG out = OutLength(irp);
    irp->IoStatus.Information = header.Size;
    if (out == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (out == sizeof(ULONG) || out == sizeof(KSMULTIPLE_ITEM)) {
        memcpy(data, &header, out);
        irp->IoStatus.Information = out;
        return STATUS_SUCCESS;
    }
    if (out < header.Size)
        return STATUS_BUFFER_TOO_SMALL;
    auto* cursor = static_cast<char*>(data);
    memcpy(cursor, &header, sizeof(header));
    cursor += sizeof(header);
    for (ULONG i = 0; i < p.DataRangesCount; ++i) {
        ULONG size = p.DataRanges[i]->FormatSize;
        memcpy(cursor, p.DataRanges[i], size);
        memset(cursor + size, 0, size_t(Round8(size) - size));
        cursor += Round8(size);
    }
    return STATUS_SUCCESS;
}

bool SameOrWildcard(const GUID& a, const GUID& b) {
    return IsEqualGUIDAligned(a, GUID_NULL) || IsEqualGUIDAligned(b, GUID_NULL) ||
           IsEqualGUIDAligned(a, b);
}

bool RangesMeet(const KSDATARANGE& caller, const KSDATARANGE& pin) {
    // Attribute lists are not carried by the host's requests, so a range that requires
    // attributes meets nothing.
    if (pin.Flags & KSDATARANGE_REQUIRED_ATTRIBUTES)
        return false;
    return SameOrWildcard(caller.MajorFormat, pin.MajorFormat) &&
           SameOrWildcard(caller.SubFormat, pin.SubFormat) &&
           SameOrWildcard(caller.Specifier, pin.Specifier);
}

// Without an intersect handler AVStream settles only ranges with no format specifier: the
// format is the pin's range itself.
NTSTATUS DefaultIntersection(PIRP irp, const KSDATARANGE* pin, PVOID data) {
    if (!IsEqualGUIDAligned(pin->Specifier, KSDATAFORMAT_SPECIFIER_NONE))
        return STATUS_NO_MATCH;
    ULONG out = OutLength(irp);
    irp->IoStatus.Information = pin->FormatSize;
    if (out == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (out < pin->FormatSize)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(data, pin, pin->FormatSize);
    return STATUS_SUCCESS;
}

// The caller's ranges, in order, against each of the pin's: the first pair the intersect
// handler settles gives the format.
NTSTATUS NTAPI DataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    auto* list =
        reinterpret_cast<PKSMULTIPLE_ITEM>(reinterpret_cast<char*>(request) + sizeof(KSP_PIN));
    if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > InLength(irp) - sizeof(KSP_PIN))
        return STATUS_INVALID_PARAMETER;
    std::vector<PKSDATARANGE> callerRanges;
    uint64_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < list->Count; ++i) {
        if (offset + sizeof(KSDATARANGE) > list->Size)
            return STATUS_INVALID_PARAMETER;
        auto* range = reinterpret_cast<PKSDATARANGE>(reinterpret_cast<char*>(list) + offset);
        if (range->FormatSize < sizeof(KSDATARANGE) || offset + range->FormatSize > list->Size)
            return STATUS_INVALID_PARAMETER;
        if (range->Flags & KSDATARANGE_ATTRIBUTES)
            return STATUS_NOT_SUPPORTED;  // attribute lists after ranges are not emulated
        callerRanges.push_back(range);
        offset += Round8(range->FormatSize);
    }

    PKSFILTER filter = FilterOf(irp);
    ULONG out = OutLength(irp);
    const KSPIN_DESCRIPTOR& p = pin->PinDescriptor;
    for (PKSDATARANGE caller : callerRanges) {
        for (ULONG r = 0; r < p.DataRangesCount; ++r) {
            PKSDATARANGE own = p.DataRanges[r];
            if (!RangesMeet(*caller, *own))
                continue;
            NTSTATUS status;
            if (!pin->IntersectHandler) {
                status = DefaultIntersection(irp, own, data);
            } else {
                ULONG size = 0;
                status = pin->IntersectHandler(filter, irp, reinterpret_cast<PKSP_PIN>(request),
                                               caller, own, out, data, &size);
                irp->IoStatus.Information = size;
                if (NT_SUCCESS(status) && size > out)
                    BugCheck("an intersect handler reported a format larger than the buffer");
            }
            if (status != STATUS_NO_MATCH)
                return status;
            irp->IoStatus.Information = 0;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS NTAPI Category(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    if (!pin->PinDescriptor.Category)
        return STATUS_NOT_FOUND;
    memcpy(data, pin->PinDescriptor.Category, sizeof(GUID));
    irp->IoStatus.Information = sizeof(GUID);
    return STATUS_SUCCESS;
}

// Windows reads a pin's name from the MediaCategories key under the name's GUID; the host
// knows the names of the categories a camera uses.
struct KnownName {
    const GUID* id;
    const char16_t* name;
};
const KnownName kMediaCategories[] = {
    {&PINNAME_VIDEO_CAPTURE, u"Capture"},
};

NTSTATUS NTAPI Name(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* pin = PinOf(irp, request);
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    const GUID* id =
        pin->PinDescriptor.Name ? pin->PinDescriptor.Name : pin->PinDescriptor.Category;
    const char16_t* name = nullptr;
    for (const KnownName& known : kMediaCategories) {
        if (id && IsEqualGUIDAligned(*id, *known.id))
            name = known.name;
    }
    if (!name)
        return STATUS_NOT_FOUND;
    ULONG size = ULONG((std::char_traits<char16_t>::length(name) + 1) * sizeof(WCHAR));
    irp->IoStatus.Information = size;
    if (OutLength(irp) < size)
        return STATUS_BUFFER_OVERFLOW;
    memcpy(data, name, size);
    return STATUS_SUCCESS;
}

constexpr ULONG kPinRequest = sizeof(KSP_PIN);

// Get-only items, without values, relations or support handler.
#define PIN_ITEM(id, handler, minProperty, minData) \
    { (id), {(handler)}, (minProperty), (minData), {nullptr}, nullptr, 0, nullptr, nullptr, 0 }

const KSPROPERTY_ITEM kPinItems[] = {
    PIN_ITEM(KSPROPERTY_PIN_CINSTANCES, CInstances, kPinRequest, sizeof(KSPIN_CINSTANCES)),
    PIN_ITEM(KSPROPERTY_PIN_CTYPES, CTypes, sizeof(KSPROPERTY), sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_DATAFLOW, DataFlow, kPinRequest, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_DATARANGES, DataRanges, kPinRequest, 0),
    PIN_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, DataIntersection,
             kPinRequest + sizeof(KSMULTIPLE_ITEM), 0),
    PIN_ITEM(KSPROPERTY_PIN_COMMUNICATION, Communication, kPinRequest, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, NecessaryInstances, kPinRequest, sizeof(ULONG)),
    PIN_ITEM(KSPROPERTY_PIN_CATEGORY, Category, kPinRequest, sizeof(GUID)),
    PIN_ITEM(KSPROPERTY_PIN_NAME, Name, kPinRequest, 0),
};
#undef PIN_ITEM

const KSPROPERTY_SET kPinSet = {&KSPROPSETID_Pin, ULONG(RTL_NUMBER_OF(kPinItems)), kPinItems, 0,
                                nullptr};

}  // namespace

const KSPROPERTY_SET& PinPropertySet() {
    return kPinSet;
}

}  // namespace host::ks
