// IOCTL_KS_PROPERTY on a filter or a pin, as ks.sys dispatches it: the request is matched
// against the object's automation table (with AVStream's own sets behind it), checked against the
// item's minimum sizes, and handed to the item's handler with an aligned copy of the request
// and a system buffer for the value. Support queries without a support handler are answered
// here.
#include "platform/host/ks_objects.h"

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

ULONG_PTR Round8(ULONG_PTR n) {
    return (n + 7) & ~ULONG_PTR(7);
}

// The operations a request may ask for, one at a time; TOPOLOGY only says where.
constexpr ULONG kOperations =
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_SETSUPPORT |
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_RELATIONS | KSPROPERTY_TYPE_SERIALIZESET |
    KSPROPERTY_TYPE_UNSERIALIZESET | KSPROPERTY_TYPE_SERIALIZERAW | KSPROPERTY_TYPE_UNSERIALIZERAW |
    KSPROPERTY_TYPE_SERIALIZESIZE | KSPROPERTY_TYPE_DEFAULTVALUES;

const KSPROPERTY_ITEM* ItemAt(const KSPROPERTY_SET& set, ULONG itemSize, ULONG index) {
    return reinterpret_cast<const KSPROPERTY_ITEM*>(
        reinterpret_cast<const char*>(set.PropertyItem) + size_t(index) * itemSize);
}

const KSPROPERTY_SET* FindSet(const KSAUTOMATION_TABLE* table, const GUID& id) {
    if (!table)
        return nullptr;
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
        if (IsEqualGUIDAligned(*table->PropertySets[i].Set, id))
            return &table->PropertySets[i];
    }
    return nullptr;
}

const KSPROPERTY_ITEM* FindItem(const KSPROPERTY_SET* set, ULONG itemSize, ULONG id) {
    if (!set)
        return nullptr;
    for (ULONG i = 0; i < set->PropertiesCount; ++i) {
        const KSPROPERTY_ITEM* item = ItemAt(*set, itemSize, i);
        if (item->PropertyId == id)
            return item;
    }
    return nullptr;
}

// KSPROPERTY_TYPE_SETSUPPORT with GUID_NULL and id 0: the sets this object answers.
NTSTATUS ListSets(const PropertyTarget& target, ULONG outLength, PVOID data, PIRP irp) {
    std::vector<GUID> sets;
    if (target.table) {
        for (ULONG i = 0; i < target.table->PropertySetsCount; ++i)
            sets.push_back(*target.table->PropertySets[i].Set);
    }
    for (ULONG i = 0; i < target.builtinCount; ++i) {
        if (!FindSet(target.table, *target.builtins[i]->Set))
            sets.push_back(*target.builtins[i]->Set);
    }
    ULONG size = ULONG(sets.size() * sizeof(GUID));
    irp->IoStatus.Information = size;
    if (outLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (outLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(data, sets.data(), size);
    return STATUS_SUCCESS;
}

// KSPROPERTY_TYPE_BASICSUPPORT for an item without a support handler: the access flags,
// and with room for it the description of a property without value ranges.
NTSTATUS BasicSupport(const KSPROPERTY_ITEM* item, ULONG outLength, PVOID data, PIRP irp) {
    if (item->Values)
        BugCheck("KSPROPERTY_ITEM.Values is not answered by the host's basic-support query");
    ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
    if (outLength >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description{};
        description.AccessFlags = access;
        description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        description.PropTypeSet.Set = GUID_NULL;
        memcpy(data, &description, sizeof(description));
        irp->IoStatus.Information = sizeof(description);
        return STATUS_SUCCESS;
    }
    if (outLength >= sizeof(ULONG)) {
        memcpy(data, &access, sizeof(access));
        irp->IoStatus.Information = sizeof(access);
        return STATUS_SUCCESS;
    }
    irp->IoStatus.Information = sizeof(KSPROPERTY_DESCRIPTION);
    return outLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS Dispatch(const PropertyTarget& object, PIRP irp, PKSPROPERTY request, ULONG inLength,
                  ULONG outLength, PVOID data) {
    ULONG operation = request->Flags & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);
    if ((request->Flags & ~(kOperations | KSPROPERTY_TYPE_TOPOLOGY)) || operation == 0 ||
        (operation & (operation - 1))) {
        return STATUS_INVALID_PARAMETER;
    }

    const KSFILTER_DESCRIPTOR* descriptor = object.nodes;
    PropertyTarget target;
    if (request->Flags & KSPROPERTY_TYPE_TOPOLOGY) {
        // Nodes belong to filters; a pin answers no node request.
        if (!descriptor)
            return STATUS_NOT_FOUND;
        if (inLength < sizeof(KSP_NODE))
            return STATUS_INVALID_BUFFER_SIZE;
        ULONG node = reinterpret_cast<PKSP_NODE>(request)->NodeId;
        if (node >= descriptor->NodeDescriptorsCount)
            return STATUS_INVALID_PARAMETER;
        target.table = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
                           reinterpret_cast<const char*>(descriptor->NodeDescriptors) +
                           size_t(node) * descriptor->NodeDescriptorSize)
                           ->AutomationTable;
    } else {
        target = object;
    }

    if (operation == KSPROPERTY_TYPE_SETSUPPORT && IsEqualGUIDAligned(request->Set, GUID_NULL) &&
        request->Id == 0) {
        return ListSets(target, outLength, data, irp);
    }

    const KSPROPERTY_SET* set = FindSet(target.table, request->Set);
    const KSPROPERTY_ITEM* item =
        FindItem(set, set ? target.table->PropertyItemSize : 0, request->Id);
    // AVStream's own set of that GUID answers what the driver's items do not.
    const KSPROPERTY_SET* builtin = nullptr;
    for (ULONG i = 0; i < target.builtinCount; ++i) {
        if (IsEqualGUIDAligned(*target.builtins[i]->Set, request->Set))
            builtin = target.builtins[i];
    }
    if (!item && builtin) {
        set = builtin;
        item = FindItem(set, sizeof(KSPROPERTY_ITEM), request->Id);
    }
    if (!set && !builtin)
        return STATUS_PROPSET_NOT_FOUND;
    // Whether the object answers the set at all, whatever the id.
    if (operation == KSPROPERTY_TYPE_SETSUPPORT)
        return STATUS_SUCCESS;
    if (!item)
        return STATUS_NOT_FOUND;
    KSPROPERTY_SET_IRP_STORAGE(irp) = set;
    KSPROPERTY_ITEM_IRP_STORAGE(irp) = item;

    if (inLength < item->MinProperty)
        return STATUS_INVALID_PARAMETER;
    if (operation == KSPROPERTY_TYPE_BASICSUPPORT) {
        if (item->SupportHandler)
            return item->SupportHandler(irp, request, data);
        return BasicSupport(item, outLength, data, irp);
    }
    if (operation != KSPROPERTY_TYPE_GET && operation != KSPROPERTY_TYPE_SET)
        return STATUS_NOT_SUPPORTED;  // relations, serialisation, defaults: not emulated

    PFNKSHANDLER handler =
        operation == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (!handler)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (outLength < item->MinData) {
        // An empty buffer on a get asks for the size; any other short buffer is an error.
        irp->IoStatus.Information = item->MinData;
        return operation == KSPROPERTY_TYPE_GET && outLength == 0 ? STATUS_BUFFER_OVERFLOW
                                                                  : STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = handler(irp, request, data);
    if (status == STATUS_PENDING)
        BugCheck("a property handler returned STATUS_PENDING: not emulated by the host");
    if (NT_SUCCESS(status) && irp->IoStatus.Information > outLength)
        BugCheck("a property handler reported more bytes than the caller's buffer holds");
    return status;
}

}  // namespace

NTSTATUS HandleProperty(const PropertyTarget& target, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = 0;
    if (inLength < sizeof(KSPROPERTY))
        return STATUS_INVALID_BUFFER_SIZE;

    // One system buffer: the value first, the request behind it at an 8-byte boundary, so the
    // handler reads an aligned request and never the caller's memory.
    ULONG_PTR requestOffset = Round8(outLength);
    auto* system = static_cast<char*>(
        ExAllocatePoolWithTag(NonPagedPool, requestOffset + inLength, kPropertyPoolTag));
    if (!system)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* request = reinterpret_cast<PKSPROPERTY>(system + requestOffset);
    memcpy(request, sp->Parameters.DeviceIoControl.Type3InputBuffer, inLength);
    memset(system, 0, requestOffset);
    if ((request->Flags & KSPROPERTY_TYPE_SET) && outLength)
        memcpy(system, irp->UserBuffer, outLength);
    irp->AssociatedIrp.SystemBuffer = system;
    // The I/O manager frees the buffer at completion and, for everything but a set, copies
    // back the bytes the handler reported.
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (!(request->Flags & KSPROPERTY_TYPE_SET) && outLength)
        irp->Flags |= IRP_INPUT_OPERATION;

    NTSTATUS status = Dispatch(target, irp, request, inLength, outLength,
                               outLength ? static_cast<PVOID>(system) : nullptr);
    if (NT_ERROR(status) && status != STATUS_BUFFER_TOO_SMALL)
        irp->IoStatus.Information = 0;
    return status;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (HostPin* pin = PinOfFile(sp->FileObject))
        return PinDeviceControl(pin, irp);
    HostFilter* filter = FilterOfFile(sp->FileObject);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    if (filter && sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_PROPERTY) {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            BugCheck("IOCTL_KS_PROPERTY above PASSIVE_LEVEL");
        static const KSPROPERTY_SET* const kFilterSets[] = {&PinPropertySet()};
        PropertyTarget target;
        target.table = filter->ks.Descriptor->AutomationTable;
        target.nodes = filter->ks.Descriptor;
        target.builtins = kFilterSets;
        target.builtinCount = 1;
        status = HandleProperty(target, irp);
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace host::ks

namespace host {
namespace {

NTSTATUS NTAPI CopyStatus(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<IO_STATUS_BLOCK*>(context) = irp->IoStatus;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS KsPropertyRequest(PFILE_OBJECT object, const void* request, ULONG requestSize, void* data,
                           ULONG dataSize, ULONG* returned) {
    using namespace ks;
    if (returned)
        *returned = 0;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("KsPropertyRequest above PASSIVE_LEVEL");
    HostFilter* filter = FilterOfFile(object);
    if (HostPin* pin = PinOfFile(object))
        filter = pin->filter;
    if (!filter)
        BugCheck("KsPropertyRequest on something that is not an open filter or pin");
    PDEVICE_OBJECT fdo = &filter->factory->device->functional;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KS_PROPERTY, fdo, const_cast<void*>(request),
                                             requestSize, data, dataSize, FALSE, &done, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = object;
    // The status block is written only for a request that pended or did not fail, as Windows
    // writes it; the caller learns the size asked for by a failed request (Information with
    // STATUS_BUFFER_TOO_SMALL) from the request itself, on its way up.
    IO_STATUS_BLOCK seen{};
    IoSetCompletionRoutine(irp, CopyStatus, &seen, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (returned)
        *returned = ULONG(seen.Information);
    return seen.Status;
}

}  // namespace host
