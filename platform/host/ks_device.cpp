// AVStream's driver and device layer on the host: KsInitializeDriver, device creation with an
// object bag and a device lock, and the PnP calls that the tests make in the PnP manager's place.
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/host_control.h"

namespace {

struct BagItem {
    PVOID item;
    PFNKSFREE free;
};

// The AVStream device and what AVStream keeps beside it. KSDEVICE comes first so that a
// PKSDEVICE handed to the driver leads back here.
struct HostDevice {
    KSDEVICE ks{};
    DEVICE_OBJECT functional{};
    DEVICE_OBJECT physical{};
    DEVICE_OBJECT bareLower{};
    std::recursive_mutex lock;
    std::thread::id owner{};
    int lockDepth = 0;
    std::mutex bagLock;
    std::vector<BagItem> bag;
};
static_assert(offsetof(HostDevice, ks) == 0, "KSDEVICE must lead the host device");

struct Driver {
    DRIVER_OBJECT object{};
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
};

Driver theDriver;

// Object bags refuse items while this count lasts, as AVStream does when it runs out of memory.
std::mutex bagRefusalLock;
NTSTATUS bagRefusal = STATUS_SUCCESS;
int bagRefusals = 0;

HostDevice* FromKs(PKSDEVICE device) {
    return reinterpret_cast<HostDevice*>(device);
}

HostDevice* FromBag(KSOBJECT_BAG bag) {
    return static_cast<HostDevice*>(bag);
}

void EmptyBag(HostDevice* device) {
    std::vector<BagItem> items;
    {
        std::lock_guard<std::mutex> g(device->bagLock);
        items.swap(device->bag);
    }
    // Later items may refer to earlier ones; free in the reverse order of addition.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (it->free)
            it->free(it->item);
        else
            ExFreePool(it->item);
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
    ks.Bag = device;
    ks.FunctionalDeviceObject = &device->functional;
    ks.PhysicalDeviceObject = &device->physical;
    ks.NextDeviceObject = next;
    ks.SystemPowerState = PowerSystemWorking;
    ks.DevicePowerState = PowerDeviceD0;

    const KSDEVICE_DISPATCH* dispatch = theDriver.descriptor->Dispatch;
    NTSTATUS status = dispatch && dispatch->Add ? dispatch->Add(&ks) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        EmptyBag(device);
        delete device;
        return status;
    }
    *out = &ks;
    return status;
}

NTSTATUS StartDevice(PKSDEVICE device) {
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch && dispatch->Start)
        status = dispatch->Start(device, nullptr, nullptr, nullptr);
    if (NT_SUCCESS(status))
        device->Started = TRUE;
    return status;
}

void StopDevice(PKSDEVICE device) {
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    if (dispatch && dispatch->Stop)
        dispatch->Stop(device, nullptr);
    device->Started = FALSE;
}

void RemoveDevice(PKSDEVICE device) {
    if (!device)
        return;
    HostDevice* host = FromKs(device);
    EmptyBag(host);
    delete host;
}

void RefuseBagItems(NTSTATUS status, int count) {
    std::lock_guard<std::mutex> g(bagRefusalLock);
    bagRefusal = status;
    bagRefusals = count;
}

size_t BagItemCount(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    std::lock_guard<std::mutex> g(host->bagLock);
    return host->bag.size();
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
    return STATUS_SUCCESS;
}

void NTAPI KsAcquireDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    host->lock.lock();
    host->owner = std::this_thread::get_id();
    ++host->lockDepth;
}

void NTAPI KsReleaseDevice(PKSDEVICE device) {
    HostDevice* host = FromKs(device);
    if (host->lockDepth == 0 || host->owner != std::this_thread::get_id()) {
        host::BugCheck("KsReleaseDevice by a thread that does not hold the device");
    }
    if (--host->lockDepth == 0)
        host->owner = std::thread::id{};
    host->lock.unlock();
}

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
    HostDevice* host = FromBag(bag);
    // AVStream requires the device mutex around changes to a device's bag.
    if (!host::DeviceLockHeld(&host->ks))
        host::BugCheck("device object bag changed without the device lock");
    {
        std::lock_guard<std::mutex> g(bagRefusalLock);
        if (bagRefusals > 0) {
            --bagRefusals;
            return bagRefusal;
        }
    }
    std::lock_guard<std::mutex> g(host->bagLock);
    host->bag.push_back(BagItem{item, free});
    return STATUS_SUCCESS;
}

}  // extern "C"
