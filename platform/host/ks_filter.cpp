// Filters: an application's create on a device interface becomes a filter made by the
// factory with that reference string; its close destroys it. AVStream holds the device mutex
// and the filter's control mutex around the driver's Create and Close, and empties the
// filter's object bag after Close.
#include "platform/host/ks_objects.h"

#include "platform/host/ks_pin_objects.h"

namespace host::ks {
namespace {

thread_local int controlMutexesHeld = 0;

void DestroyFilter(HostFilter* filter) {
    Unregister(filter->file);
    filter->file->FsContext = nullptr;
    EmptyBag(&filter->bag);
    DeleteInPool(filter);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Calls the filter's Create or Close as AVStream does: PASSIVE_LEVEL, device mutex, then the
// filter's control mutex.
NTSTATUS CallFilterDispatch(HostFilter* filter, PFNKSFILTERIRP routine, PIRP irp) {
    if (!routine)
        return STATUS_SUCCESS;
    PKSDEVICE device = &filter->factory->device->ks;
    KsAcquireDevice(device);
    AcquireControl(filter);
    NTSTATUS status = routine(&filter->ks, irp);
    ReleaseControl(filter);
    KsReleaseDevice(device);
    if (status == STATUS_PENDING)
        BugCheck("a filter Create or Close returned STATUS_PENDING: not emulated by the host");
    return status;
}

NTSTATUS NTAPI CaptureCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    // The request is the caller's: it reads the status and frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a create or close for `file` to the device's functional object and waits for it.
NTSTATUS SendFileRequest(HostDevice* device, UCHAR major, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(device->functional.StackSize, FALSE);
    // A close cannot fail for want of memory: the I/O manager retries until it has its request,
    // as Windows does for close requests, so a driver's Close always runs.
    for (int retry = 0; !irp && major == IRP_MJ_CLOSE && retry < 100; ++retry)
        irp = IoAllocateIrp(device->functional.StackSize, FALSE);
    if (!irp && major == IRP_MJ_CLOSE)
        BugCheck("no memory for a close request after 100 attempts");
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = file;
    IoSetCompletionRoutine(irp, CaptureCompletion, nullptr, TRUE, TRUE, TRUE);
    if (IoCallDriver(&device->functional, irp) == STATUS_PENDING)
        BugCheck("a filter create or close pended: the host completes them synchronously");
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS OpenFileObject(HostDevice* device, PFILE_OBJECT file, PFILE_OBJECT* opened) {
    NTSTATUS status = SendFileRequest(device, IRP_MJ_CREATE, file);
    if (!NT_SUCCESS(status)) {
        ExFreePool(file);
        return status;
    }
    *opened = file;
    return status;
}

NTSTATUS CloseFileObject(HostDevice* device, PFILE_OBJECT file) {
    NTSTATUS status = SendFileRequest(device, IRP_MJ_CLOSE, file);
    ExFreePool(file);
    return status;
}

void AcquireControl(HostFilter* filter) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("control mutex acquired above PASSIVE_LEVEL");
    if (filter->control.HeldByCaller())
        BugCheck("control mutex acquired twice by the same thread");
    if (ProcessingMutexesHeld() > 0)
        BugCheck("control mutex acquired while holding a processing mutex (lock order)");
    filter->control.lock.lock();
    filter->control.owner = std::this_thread::get_id();
    ++controlMutexesHeld;
}

void ReleaseControl(HostFilter* filter) {
    if (!filter->control.HeldByCaller())
        BugCheck("control mutex released by a thread that does not hold it");
    filter->control.owner = std::thread::id{};
    filter->control.lock.unlock();
    --controlMutexesHeld;
}

int ControlMutexesHeld() {
    return controlMutexesHeld;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
    HostDevice* device = DeviceOfFunctionalObject(fdo);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!device || !file)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    // A create relative to an open filter makes a pin.
    if (file->RelatedFileObject) {
        HostFilter* parent = FilterOfFile(file->RelatedFileObject);
        if (!parent)
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        return Complete(irp, CreatePinObject(parent, file, irp));
    }

    std::u16string name;
    if (file->FileName.Buffer)
        name.assign(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
    if (!name.empty() && name[0] == u'\\')
        name.erase(0, 1);
    HostFactory* factory = FactoryByReference(device, name);
    if (!factory)
        return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);

    HostFilter* filter = NewInPool<HostFilter>(kFilterPoolTag);
    if (!filter)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    filter->ks.Descriptor = factory->ks.FilterDescriptor;
    filter->ks.Bag = &filter->bag;
    filter->ks.Context = factory->ks.Context;
    filter->factory = factory;
    filter->file = file;
    file->FsContext = filter;  // where AVStream keeps its object header
    Register(file, Kind::File, filter);

    const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor->Dispatch;
    NTSTATUS status = CallFilterDispatch(filter, dispatch ? dispatch->Create : nullptr, irp);
    if (!NT_SUCCESS(status)) {
        DestroyFilter(filter);
        return Complete(irp, status);
    }
    ++factory->openFilters;
    ++device->openFilters;
    return Complete(irp, status);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (HostPin* pin = PinOfFile(file))
        return Complete(irp, ClosePinObject(pin, irp));
    HostFilter* filter = FilterOfFile(file);
    if (!filter)
        BugCheck("IRP_MJ_CLOSE of a file object that is no open filter");
    const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor->Dispatch;
    NTSTATUS status = CallFilterDispatch(filter, dispatch ? dispatch->Close : nullptr, irp);
    // The filter goes whatever Close says: a handle cannot stay open once closed.
    --filter->factory->openFilters;
    --filter->factory->device->openFilters;
    DestroyFilter(filter);
    return Complete(irp, status);
}

}  // namespace host::ks

namespace host {

NTSTATUS OpenFilter(PKSDEVICE device, const std::string& reference, PFILE_OBJECT* filter) {
    using namespace ks;
    if (!filter)
        BugCheck("OpenFilter without a place for the file object");
    *filter = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("OpenFilter above PASSIVE_LEVEL");
    HostDevice* host = FindDevice(device);
    if (!host)
        BugCheck("OpenFilter on something that is not a live AVStream device");
    std::u16string name(reference.begin(), reference.end());
    // An application finds the filter through an enabled device interface (or, for a
    // factory without categories, through the device's own name).
    HostFactory* factory = FactoryByReference(host, name);
    bool reachable = factory && factory->interfaces.empty() && device->Started;
    if (factory) {
        for (size_t index : factory->interfaces)
            reachable = reachable || host->interfaces[index].enabled;
    }
    if (!reachable)
        return STATUS_OBJECT_NAME_NOT_FOUND;

    size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
    if (nameBytes > 0xFFFE)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* file = static_cast<PFILE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT) + nameBytes, kFilePoolTag));
    if (!file)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = &host->physical;  // the interface's symbolic link names the PDO
    auto* text = reinterpret_cast<WCHAR*>(file + 1);
    text[0] = u'\\';
    memcpy(text + 1, name.data(), name.size() * sizeof(WCHAR));
    file->FileName = UNICODE_STRING{USHORT(nameBytes), USHORT(nameBytes), text};

    return OpenFileObject(host, file, filter);
}

NTSTATUS CloseFilter(PFILE_OBJECT filter) {
    using namespace ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("CloseFilter above PASSIVE_LEVEL");
    HostFilter* host = FilterOfFile(filter);
    if (!host)
        BugCheck("CloseFilter of something that is not an open filter");
    // A pin's handle holds its filter's: the filter cannot close before its pins.
    if (!host->pins.empty())
        BugCheck("CloseFilter of a filter whose pins are still open");
    return CloseFileObject(host->factory->device, filter);
}

}  // namespace host

extern "C" {

PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp) {
    if (!irp || irp->Type != IO_TYPE_IRP)
        host::BugCheck("KsGetFilterFromIrp of something that is not an IRP");
    // A request no driver holds yet has no current stack location to read.
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
        return nullptr;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // A request sent to a pin names the filter the pin belongs to.
    if (host::ks::HostPin* pin = host::ks::PinOfFile(file))
        return &pin->filter->ks;
    host::ks::HostFilter* filter = host::ks::FilterOfFile(file);
    return filter ? &filter->ks : nullptr;
}

void NTAPI KsAcquireControl(PVOID object) {
    host::ks::HostFilter* filter = host::ks::FindFilter(object);
    if (!filter)
        host::BugCheck("KsAcquireControl of something that is not a live filter");
    host::ks::AcquireControl(filter);
}

void NTAPI KsReleaseControl(PVOID object) {
    host::ks::HostFilter* filter = host::ks::FindFilter(object);
    if (!filter)
        host::BugCheck("KsReleaseControl of something that is not a live filter");
    host::ks::ReleaseControl(filter);
}

}  // extern "C"
