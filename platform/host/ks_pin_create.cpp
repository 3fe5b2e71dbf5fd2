// Pins: a create relative to an open filter, named KSSTRING_Pin and carrying a KSPIN_CONNECT and
// the client's format, makes a pin after AVStream's connect checks; its close walks the pin
// down to STOP, waits for processing to end, and destroys it. The pin's own requests
// (properties and reads) are dispatched here too.
#include <cctype>
#include <vector>

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

constexpr char16_t kPinName[] = KSSTRING_Pin;
constexpr size_t kPinNameChars = sizeof(kPinName) / sizeof(char16_t) - 1;

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool SameName(const char16_t* a, const char16_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] > 0x7F || b[i] > 0x7F || tolower(int(a[i])) != tolower(int(b[i])))
            return false;
    }
    return true;
}

const KSPIN_DESCRIPTOR_EX* FactoryDescriptor(const KSFILTER_DESCRIPTOR* filter, ULONG id) {
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(filter->PinDescriptors) +
        size_t(id) * filter->PinDescriptorSize);
}

// An identifier the pin lists, or the standard one when it lists none.
bool Listed(const KSIDENTIFIER& wanted, ULONG count, const KSIDENTIFIER* list,
            const GUID& standardSet, ULONG standardId) {
    if (count == 0 || !list)
        return IsEqualGUIDAligned(wanted.Set, standardSet) && wanted.Id == standardId;
    for (ULONG i = 0; i < count; ++i) {
        if (IsEqualGUIDAligned(wanted.Set, list[i].Set) && wanted.Id == list[i].Id)
            return true;
    }
    return false;
}

void DestroyPin(HostPin* pin) {
    Unregister(pin->file);
    pin->file->FsContext = nullptr;
    // The driver's items go first: a copy of the descriptor may be among them.
    EmptyBag(&pin->bag);
    if (pin->ks.ConnectionFormat)
        ExFreePool(pin->ks.ConnectionFormat);
    DeleteInPool(pin);
}

// The connect request as the create's file name carries it: the pin's name, a backslash, then
// the KSPIN_CONNECT and the format as bytes, copied out since nothing aligns them.
NTSTATUS ReadConnectRequest(PFILE_OBJECT file, KSPIN_CONNECT* connect, std::vector<char>* format) {
    const UNICODE_STRING& name = file->FileName;
    if (!name.Buffer || name.Length % sizeof(WCHAR))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto* text = reinterpret_cast<const char16_t*>(name.Buffer);
    size_t chars = name.Length / sizeof(WCHAR);
    if (chars && text[0] == u'\\') {
        ++text;
        --chars;
    }
    if (chars < kPinNameChars + 1 || !SameName(text, kPinName, kPinNameChars) ||
        text[kPinNameChars] != u'\\') {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto* bytes = reinterpret_cast<const char*>(text + kPinNameChars + 1);
    size_t length = (chars - kPinNameChars - 1) * sizeof(WCHAR);
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT))
        return STATUS_INVALID_BUFFER_SIZE;
    memcpy(connect, bytes, sizeof(*connect));
    KSDATAFORMAT header;
    memcpy(&header, bytes + sizeof(KSPIN_CONNECT), sizeof(header));
    // Exactly one format and nothing behind it: the attribute list that may follow a format
    // is not emulated, and stray bytes mean the client built its request wrong.
    if (header.FormatSize < sizeof(KSDATAFORMAT) ||
        header.FormatSize != length - sizeof(KSPIN_CONNECT)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (header.Flags & KSDATAFORMAT_ATTRIBUTES)
        return STATUS_NOT_SUPPORTED;
    format->assign(bytes + sizeof(KSPIN_CONNECT), bytes + length);
    return STATUS_SUCCESS;
}

// AVStream's connect checks that come before the pin exists.
NTSTATUS CheckConnect(HostFilter* filter, const KSPIN_CONNECT& connect,
                      const KSDATAFORMAT& format) {
    const KSFILTER_DESCRIPTOR* descriptor = filter->ks.Descriptor;
    if (connect.PinId >= descriptor->PinDescriptorsCount)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR_EX* pin = FactoryDescriptor(descriptor, connect.PinId);
    const KSPIN_DESCRIPTOR& p = pin->PinDescriptor;
    if (!Listed(connect.Interface, p.InterfacesCount, p.Interfaces, KSINTERFACESETID_Standard,
                KSINTERFACE_STANDARD_STREAMING) ||
        !Listed(connect.Medium, p.MediumsCount, p.Mediums, KSMEDIUMSETID_Standard,
                KSMEDIUM_TYPE_ANYINSTANCE)) {
        return STATUS_NO_MATCH;
    }
    // A client connects the pin to itself; connecting it to another pin is not emulated.
    if (connect.PinToHandle)
        return STATUS_NOT_SUPPORTED;
    ULONG open = 0;
    for (HostPin* other : filter->pins)
        open += other->ks.Id == connect.PinId ? 1 : 0;
    if (pin->InstancesPossible != KSINSTANCE_INDETERMINATE && open >= pin->InstancesPossible)
        return STATUS_UNSUCCESSFUL;
    bool inSomeRange = false;
    for (ULONG i = 0; i < p.DataRangesCount; ++i)
        inSomeRange = inSomeRange || (p.DataRanges[i] && FormatInRange(format, *p.DataRanges[i]));
    return inSomeRange ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

NTSTATUS CallPinIrp(HostPin* pin, PFNKSPINIRP routine, PIRP irp) {
    if (!routine)
        return STATUS_SUCCESS;
    NTSTATUS status = routine(&pin->ks, irp);
    if (status == STATUS_PENDING)
        BugCheck("a pin Create or Close returned STATUS_PENDING: not emulated by the host");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("a pin Create or Close returned above PASSIVE_LEVEL");
    return status;
}

}  // namespace

NTSTATUS CreatePinObject(HostFilter* filter, PFILE_OBJECT file, PIRP irp) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("pin create above PASSIVE_LEVEL");
    KSPIN_CONNECT connect;
    std::vector<char> formatBytes;
    NTSTATUS status = ReadConnectRequest(file, &connect, &formatBytes);
    if (!NT_SUCCESS(status))
        return status;
    KSDATAFORMAT header;
    memcpy(&header, formatBytes.data(), sizeof(header));

    // The instance count and the new pin's place among the filter's pins change together.
    AcquireControl(filter);
    status = CheckConnect(filter, connect, header);
    HostPin* pin = nullptr;
    PKSDATAFORMAT format = nullptr;
    if (NT_SUCCESS(status)) {
        format = CopyFormat(reinterpret_cast<const KSDATAFORMAT*>(formatBytes.data()),
                            ULONG(formatBytes.size()));
        pin = format ? NewInPool<HostPin>(kPinPoolTag) : nullptr;
        if (!pin) {
            if (format)
                ExFreePool(format);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        ReleaseControl(filter);
        return status;
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = FactoryDescriptor(filter->ks.Descriptor, connect.PinId);
    KSPIN& ks = pin->ks;
    ks.Descriptor = descriptor;
    ks.Bag = &pin->bag;
    ks.Context = filter->ks.Context;
    ks.Id = connect.PinId;
    ks.Communication = descriptor->PinDescriptor.Communication;
    ks.ConnectionIsExternal = TRUE;  // the other end is a client, not a pin of this device
    ks.ConnectionInterface = connect.Interface;
    ks.ConnectionMedium = connect.Medium;
    ks.ConnectionPriority = connect.Priority;
    ks.ConnectionFormat = format;
    ks.DataFlow = descriptor->PinDescriptor.DataFlow;
    ks.DeviceState = ks.ClientState = KSSTATE_STOP;
    ks.ResetState = KSRESET_END;
    pin->filter = filter;
    pin->file = file;
    file->FsContext = pin;  // where AVStream keeps its object header
    Register(file, Kind::PinFile, pin);

    // The format is offered before the pin's Create runs, range by range.
    status = OfferFormat(pin, nullptr);
    if (NT_SUCCESS(status)) {
        const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
        status = CallPinIrp(pin, dispatch ? dispatch->Create : nullptr, irp);
    }
    if (!NT_SUCCESS(status)) {
        ReleaseControl(filter);
        DestroyPin(pin);
        return status;
    }
    filter->pins.push_back(pin);
    StartProcessing(pin);
    ReleaseControl(filter);
    return status;
}

NTSTATUS ClosePinObject(HostPin* pin, PIRP irp) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("pin close above PASSIVE_LEVEL");
    // A handle that closes takes its pin to STOP first, one step at a time, whatever the
    // driver answers; the reset at STOP hands back every frame.
    WalkToState(pin, KSSTATE_STOP, true);
    // AVStream lets a pass that is running finish before the pin goes; none starts after.
    FinishProcessing(pin);
    FlushFrames(pin);
    RequireClockReleased(pin);
    HostFilter* filter = pin->filter;
    AcquireControl(filter);
    const KSPIN_DISPATCH* dispatch = DescriptorOf(pin)->Dispatch;
    NTSTATUS status = CallPinIrp(pin, dispatch ? dispatch->Close : nullptr, irp);
    for (auto it = filter->pins.begin(); it != filter->pins.end(); ++it) {
        if (*it == pin) {
            filter->pins.erase(it);
            break;
        }
    }
    ReleaseControl(filter);
    DestroyPin(pin);
    return status;
}

NTSTATUS PinDeviceControl(HostPin* pin, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY: {
            if (KeGetCurrentIrql() != PASSIVE_LEVEL)
                BugCheck("IOCTL_KS_PROPERTY above PASSIVE_LEVEL");
            static const KSPROPERTY_SET* const kPinSets[] = {&ConnectionPropertySet(),
                                                             &StreamPropertySet()};
            PropertyTarget target;
            target.table = DescriptorOf(pin)->AutomationTable;
            target.builtins = kPinSets;
            target.builtinCount = 2;
            return CompleteRequest(irp, HandleProperty(target, irp));
        }
        case IOCTL_KS_READ_STREAM: {
            NTSTATUS status = QueueRead(pin, irp);
            return status == STATUS_PENDING ? status : CompleteRequest(irp, status);
        }
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace host::ks

namespace host {

NTSTATUS CreatePin(PFILE_OBJECT filter, ULONG pinId, const KSDATAFORMAT* format,
                   PFILE_OBJECT* pin) {
    using namespace ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("CreatePin above PASSIVE_LEVEL");
    if (!pin || !format)
        BugCheck("CreatePin without a format or a place for the pin");
    *pin = nullptr;
    HostFilter* parent = FilterOfFile(filter);
    if (!parent)
        BugCheck("CreatePin on something that is not an open filter");
    // The caller's record is at least a KSDATAFORMAT; a larger FormatSize says how much follows.
    ULONG formatBytes = format->FormatSize > sizeof(KSDATAFORMAT) ? format->FormatSize
                                                                  : ULONG(sizeof(KSDATAFORMAT));
    size_t nameBytes =
        (kPinNameChars + 1) * sizeof(WCHAR) + sizeof(KSPIN_CONNECT) + size_t(formatBytes);
    if (nameBytes > 0xFFFE)
        return STATUS_INVALID_PARAMETER;  // more than a file name can carry
    auto* file = static_cast<PFILE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT) + nameBytes, kFilePoolTag));
    if (!file)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = filter->DeviceObject;
    file->RelatedFileObject = filter;
    auto* text = reinterpret_cast<char*>(file + 1);
    memcpy(text, kPinName, kPinNameChars * sizeof(WCHAR));
    const char16_t separator = u'\\';
    memcpy(text + kPinNameChars * sizeof(WCHAR), &separator, sizeof(separator));
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority = KSPRIORITY{KSPRIORITY_NORMAL, 1};
    char* parameters = text + (kPinNameChars + 1) * sizeof(WCHAR);
    memcpy(parameters, &connect, sizeof(connect));
    memcpy(parameters + sizeof(connect), format, formatBytes);
    file->FileName =
        UNICODE_STRING{USHORT(nameBytes), USHORT(nameBytes), reinterpret_cast<PWSTR>(text)};

    return OpenFileObject(parent->factory->device, file, pin);
}

NTSTATUS ClosePin(PFILE_OBJECT pin) {
    using namespace ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ClosePin above PASSIVE_LEVEL");
    HostPin* host = PinOfFile(pin);
    if (!host)
        BugCheck("ClosePin of something that is not an open pin");
    return CloseFileObject(host->filter->factory->device, pin);
}

}  // namespace host

extern "C" {

PKSPIN NTAPI KsGetPinFromIrp(PIRP irp) {
    if (!irp || irp->Type != IO_TYPE_IRP)
        host::BugCheck("KsGetPinFromIrp of something that is not an IRP");
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
        return nullptr;
    host::ks::HostPin* pin = host::ks::PinOfFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return pin ? &pin->ks : nullptr;
}

PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN pin) {
    host::ks::HostPin* host = host::ks::FindPin(pin);
    if (!host)
        host::BugCheck("KsPinGetParentFilter of something that is not a live pin");
    return &host->filter->ks;
}

}  // extern "C"
