// AVStream's driver and device layer on the host: KsInitializeDriver, device creation with an
// object bag and a device lock, and the PnP calls that the tests make in the PnP manager's place.
#include <cstdio>

#include "platform/host/io_internal.h"
#include "platform/host/ks_objects.h"
#include "platform/host/sync_internal.h"

namespace {

using host::ks::HostDevice;

struct Driver {
    DRIVER_OBJECT object{};
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
};

Driver theDriver;

HostDevice* FromKs(PKSDEVICE device) {
    HostDevice* host = host::ks::FindDevice(device);
    if (!host)
        host::BugCheck("a device call on something that is not a live AVStream device");
    return host;
}

void EmptyBag(HostDevice* device) {
    host::ks::EmptyBag(&device->bag);
}

// The PnP manager stops or removes a device only once every handle to it is closed; a
// filter still open here is a test that forgot to close it.
void RequireNoOpenFilters(HostDevice* device, const char* what) {
    if (device->openFilters > 0) {
        static char message[160];
        snprintf(message, sizeof(message), "%s of a device with %d filter(s) still open", what,
                 device->openFilters);
        host::BugCheck(message);
    }
}

}  // namespace

namespace host {

NTSTATUS LoadDriver(DriverEntryRoutine entry) {
    theDriver = Driver{};
    theDriver.object.Type = 4;  // IO_TYPE_DRIVER
    theDriver.object.Size = sizeof(DRIVER_OBJECT);
    static WCHAR path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\bayercam";
    UNICODE_STRING registryPath{USHORT(sizeof(path) - sizeof(WCHAR)), USHORT(sizeof(path)), path};
    if (const DriverImage* image = ChosenDriverImage())
        entry = DriverImageEntry(image);
    return entry(&theDriver.object, &registryPath);
}

const KSDEVICE_DESCRIPTOR* RegisteredDescriptor() {
    return theDriver.descriptor;
}

NTSTATUS AddDevice(PDEVICE_OBJECT lower, PKSDEVICE* out) {
    *out = nullptr;
    if (!theDriver.descriptor)
        BugCheck("AddDevice before the driver registered with AVStream");
    auto* device = new HostDevice;
    device->functional.Type = device->physical.Type = 3;  // IO_TYPE_DEVICE
    device->functional.Size = device->physical.Size = sizeof(DEVICE_OBJECT);
    device->functional.DriverObject = &theDriver.object;
    device->bareLower.Type = 3;
    device->bareLower.StackSize = 1;
    PDEVICE_OBJECT next = lower ? lower : &device->bareLower;
    device->functional.StackSize = CCHAR(next->StackSize + 1);
    device->physical.StackSize = 1;
    device->physical.Flags = DO_BUS_ENUMERATED_DEVICE;
    device->physical.AttachedDevice = &device->functional;

    KSDEVICE& ks = device->ks;
    ks.Descriptor = theDriver.descriptor;
    ks.Bag = &device->bag;
    ks.FunctionalDeviceObject = &device->functional;
    ks.PhysicalDeviceObject = &device->physical;
    ks.NextDeviceObject = next;
    ks.SystemPowerState = PowerSystemWorking;
    ks.DevicePowerState = PowerDeviceD0;

    const KSDEVICE_DISPATCH* dispatch = theDriver.descriptor->Dispatch;
    host::CallbackState entry = host::CurrentCallbackState();
    NTSTATUS status = dispatch && dispatch->Add ? dispatch->Add(&ks) : STATUS_SUCCESS;
    host::RequireCallbackReturn(entry, "IRQL_UNEXPECTED_VALUE", "the device's Add");
    if (!NT_SUCCESS(status)) {
        host::ks::DestroyFactories(device);
        EmptyBag(device);
        delete device;
        return status;
    }
    *out = &ks;
    return status;
}

NTSTATUS StartDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    // The PnP manager may start a device that is started already, to hand it new resources
    // (a stop-less rebalance): the driver's Start runs again with the started mark still set.
    const bool restart = device->Started;
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    host::CallbackState entry = host::CurrentCallbackState();
    if (dispatch && dispatch->Start)
        status = dispatch->Start(device, nullptr, nullptr, nullptr);
    host::RequireCallbackReturn(entry, "IRQL_UNEXPECTED_VALUE", "the device's Start");
    if (restart)
        return status;
    if (NT_SUCCESS(status)) {
        // Factories made up to here are AVStream's to enable; the started mark comes last, so
        // the driver's Start still sees the device as not started.
        host::ks::EnableInterfacesAtStart(host);
        device->Started = TRUE;
    }
    return status;
}

void StopDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    if (!device->Started)
        BugCheck("StopDevice of a device that is not started");
    RequireNoOpenFilters(host, "StopDevice");
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    host::CallbackState entry = host::CurrentCallbackState();
    if (dispatch && dispatch->Stop)
        dispatch->Stop(device, nullptr);
    host::RequireCallbackReturn(entry, "IRQL_UNEXPECTED_VALUE", "the device's Stop");
    // After the driver's Stop, as AVStream frees KSCREATE_ITEM_FREEONSTOP create items.
    host::ks::DropFactoriesAtStop(host);
    device->Started = FALSE;
}

void RemoveDevice(PKSDEVICE device) {
    host::RequireNoSystemThreadRunning("RemoveDevice");
    if (!device)
        return;
    HostDevice* host = FromKs(device);
    RequireNoOpenFilters(host, "RemoveDevice");
    if (host->lockDepth > 0)
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "RemoveDevice with the device mutex held");
    host::ks::DestroyFactories(host);
    EmptyBag(host);
    // What the driver sent down must be over and freed once its records are gone.
    RequireNoRequestsSentTo(device->NextDeviceObject, "RemoveDevice");
    delete host;
}

size_t BagItemCount(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    std::lock_guard<std::mutex> g(host->bag.lock);
    return host->bag.items.size();
}

bool DeviceLockHeld(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    return host->lockDepth > 0 && host->owner == std::this_thread::get_id();
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING,
                                  const KSDEVICE_DESCRIPTOR* descriptor) {
    if (driver != &theDriver.object)
        host::BugCheck("KsInitializeDriver with a foreign driver object");
    if (!descriptor)
        return STATUS_INVALID_PARAMETER;
    theDriver.descriptor = descriptor;
    // AVStream answers creates, closes and device controls on the driver's behalf.
    driver->MajorFunction[IRP_MJ_CREATE] = host::ks::DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = host::ks::DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = host::ks::DispatchDeviceControl;
    return STATUS_SUCCESS;
}

void NTAPI KsAcquireDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "KsAcquireDevice");
    // AVStream's order is device, then control, then processing mutex; taking the device again
    // while already holding it is no new acquisition.
    bool reentry = host->lockDepth > 0 && host->owner == std::this_thread::get_id();
    if (!reentry && host::ks::ControlMutexesHeld() > 0)
        host::BugCheck("KsAcquireDevice while holding a control mutex (lock order)");
    host->lock.lock();
    host->owner = std::this_thread::get_id();
    ++host->lockDepth;
    host::NoteMutexAcquired();
}

void NTAPI KsReleaseDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    if (host->lockDepth == 0 || host->owner != std::this_thread::get_id()) {
        host::BugCheck("THREAD_NOT_MUTEX_OWNER",
                       "KsReleaseDevice by a thread that does not hold the device");
    }
    host::NoteMutexReleased();
    if (--host->lockDepth == 0)
        host->owner = std::thread::id{};
    host->lock.unlock();
}

}  // extern "C"
