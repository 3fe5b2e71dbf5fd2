// A pin's data format: which of its ranges a client's format falls in, and the offer of the
// format to the driver's SetDataFormat, range by range, when the pin is made and when the
// client changes the format later.
#include "platform/host/ks_pin_objects.h"

namespace host::ks {

bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range) {
    // A wildcard major format in the range takes any format; a wildcard sub-format any format
    // of that major type; otherwise all three GUIDs must be the range's.
    if (IsEqualGUIDAligned(range.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD))
        return true;
    if (!IsEqualGUIDAligned(range.MajorFormat, format.MajorFormat))
        return false;
    if (IsEqualGUIDAligned(range.SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD))
        return true;
    return IsEqualGUIDAligned(range.SubFormat, format.SubFormat) &&
           IsEqualGUIDAligned(range.Specifier, format.Specifier);
}

PKSDATAFORMAT CopyFormat(const KSDATAFORMAT* format, ULONG size) {
    if (size < sizeof(KSDATAFORMAT))
        return nullptr;
    auto* copy =
        static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, size, kFormatPoolTag));
    if (copy)
        memcpy(copy, format, size);
    return copy;
}

NTSTATUS OfferFormat(HostPin* pin, PKSDATAFORMAT oldFormat) {
    if (!pin->filter->control.HeldByCaller())
        BugCheck("a format offered to a pin without the control mutex");
    const KSPIN_DESCRIPTOR_EX* descriptor = DescriptorOf(pin);
    const KSPIN_DESCRIPTOR& p = descriptor->PinDescriptor;
    PFNKSPINSETDATAFORMAT setFormat =
        descriptor->Dispatch ? descriptor->Dispatch->SetDataFormat : nullptr;
    for (ULONG i = 0; i < p.DataRangesCount; ++i) {
        const KSDATARANGE* range = p.DataRanges[i];
        if (!range || !FormatInRange(*pin->ks.ConnectionFormat, *range))
            continue;
        if (!setFormat)
            return STATUS_SUCCESS;  // the first range that fits is enough for AVStream
        NTSTATUS status = setFormat(&pin->ks, oldFormat, nullptr, range, nullptr);
        if (status == STATUS_PENDING)
            BugCheck("SetDataFormat returned STATUS_PENDING");
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            BugCheck("SetDataFormat returned above PASSIVE_LEVEL");
        if (status != STATUS_NO_MATCH)
            return status;
    }
    return STATUS_NO_MATCH;
}

}  // namespace host::ks
