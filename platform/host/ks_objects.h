// What the host's AVStream keeps behind the records it hands the driver: devices, filter
// factories and filters, their object bags and mutexes, and a table of the live objects so
// that a pointer coming back from the driver is checked before it is believed. Internal to
// platform/host; neither the driver nor the tests include it.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_control.h"

namespace host::ks {

enum class Kind { Device, Factory, Filter, File, Bag, Pin, PinFile };

struct HostDevice;
struct HostFactory;
struct HostFilter;
struct HostPin;

// ---- The table of live objects ----------------------------------------------------------
void Register(const void* record, Kind kind, void* host);
void Unregister(const void* record);

struct BagItem {
    PVOID item;
    PFNKSFREE free;
};

// An object bag: what its owner frees when it goes away. Which mutex guards a change depends
// on the owner: the device mutex for a device's or a factory's bag, the filter's control
// mutex for a filter's and for its pins'.
struct ObjectBag {
    explicit ObjectBag(Kind ownerKind, void* ownerRecord) : owner(ownerKind), object(ownerRecord) {
        Register(this, Kind::Bag, this);
    }
    ~ObjectBag() { Unregister(this); }
    ObjectBag(const ObjectBag&) = delete;
    ObjectBag& operator=(const ObjectBag&) = delete;

    const Kind owner;
    void* const object;  // the owner's AVStream record
    std::mutex lock;
    std::vector<BagItem> items;
};

// A mutex AVStream takes for the driver, with the owner recorded so misuse can be named.
// Not recursive: a second acquisition by the owner is a deadlock on Windows and a bug check
// here.
struct OwnedMutex {
    std::mutex lock;
    std::thread::id owner{};
    bool HeldByCaller() const { return owner == std::this_thread::get_id(); }
};

// A device interface registered on the device's physical object. Registration outlives the
// factory that made it, as in the registry; only the enabled state follows the factory.
struct DeviceInterfaceRecord {
    GUID category;
    std::u16string reference;
    bool enabled;
};

struct HostDevice {
    HostDevice() { Register(&ks, Kind::Device, this); }
    ~HostDevice() { Unregister(&ks); }

    KSDEVICE ks{};
    DEVICE_OBJECT functional{};
    DEVICE_OBJECT physical{};
    DEVICE_OBJECT bareLower{};
    std::recursive_mutex lock;
    std::thread::id owner{};
    int lockDepth = 0;
    ObjectBag bag{Kind::Device, &ks};
    std::vector<HostFactory*> factories;  // in order of creation
    std::vector<DeviceInterfaceRecord> interfaces;
    int openFilters = 0;
};
static_assert(offsetof(HostDevice, ks) == 0, "KSDEVICE must lead the host device");

struct HostFactory {
    HostFactory() { Register(&ks, Kind::Factory, this); }
    ~HostFactory() { Unregister(&ks); }

    KSFILTERFACTORY ks{};
    ObjectBag bag{Kind::Factory, &ks};
    HostDevice* device = nullptr;
    std::u16string reference;
    ULONG createItemFlags = 0;
    std::vector<size_t> interfaces;  // indexes into the device's interfaces
    // Interfaces of a factory made before the device finished starting are AVStream's to
    // enable; after that the driver enables them itself.
    bool enableWhenStarted = false;
    int openFilters = 0;
};

struct HostFilter {
    HostFilter() { Register(&ks, Kind::Filter, this); }
    ~HostFilter() { Unregister(&ks); }

    KSFILTER ks{};
    ObjectBag bag{Kind::Filter, &ks};
    HostFactory* factory = nullptr;
    PFILE_OBJECT file = nullptr;
    OwnedMutex control;
    // Open pins, for instance counts and for the filter's close, which cannot come while a pin
    // (whose file object refers to the filter's) is open.
    std::vector<HostPin*> pins;
};

// The host object behind `record` if it is a live object of that kind, else null.
void* Find(const void* record, Kind kind);
HostDevice* FindDevice(const void* record);
HostFactory* FindFactory(const void* record);
HostFilter* FindFilter(const void* record);
HostFilter* FilterOfFile(const void* file);
ObjectBag* FindBag(const void* bag);
HostPin* FindPin(const void* record);
HostPin* PinOfFile(const void* file);
// The filter a pin belongs to, for the mutex and device lookups that pins share with it.
HostFilter* FilterOfPin(HostPin* pin);
HostDevice* DeviceOfFunctionalObject(const DEVICE_OBJECT* fdo);

// ---- Bags -------------------------------------------------------------------------------
// Frees every item that no other bag still holds, newest first, with its free callback.
void EmptyBag(ObjectBag* bag);
// Bug check unless the caller holds the mutex that guards changes to this bag.
void RequireBagMutex(ObjectBag* bag, const char* what);
// Takes an item out of the bag, freeing it unless another bag holds it too.
void RemoveFromBag(ObjectBag* bag, PVOID item);

// ---- Mutexes ----------------------------------------------------------------------------
void AcquireControl(HostFilter* filter);
void ReleaseControl(HostFilter* filter);
// Control mutexes the calling thread holds: the device mutex may not be taken under one.
int ControlMutexesHeld();
// Processing mutexes the calling thread holds: no control mutex may be taken under one.
int ProcessingMutexesHeld();

// ---- Factories --------------------------------------------------------------------------
// What the device's start and stop do to its factories.
void EnableInterfacesAtStart(HostDevice* device);
void DropFactoriesAtStop(HostDevice* device);
void DestroyFactories(HostDevice* device);
HostFactory* FactoryByReference(HostDevice* device, const std::u16string& reference);

// CreateFile and CloseHandle as the I/O manager does them: the create or close request for
// the file object goes to the device and is waited for; the file object is freed when the
// create fails and after the close, and handed to *opened only when the create succeeds.
NTSTATUS OpenFileObject(HostDevice* device, PFILE_OBJECT file, PFILE_OBJECT* opened);
NTSTATUS CloseFileObject(HostDevice* device, PFILE_OBJECT file);

// ---- Request dispatch (installed in the driver object by KsInitializeDriver) -----------
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
// Where a property request is answered: the object's own automation table, then the sets
// AVStream answers for every object of its kind (the driver's items override those), and for
// requests on a node the node table of `nodes` (null: the object has no nodes).
struct PropertyTarget {
    const KSAUTOMATION_TABLE* table = nullptr;
    const KSFILTER_DESCRIPTOR* nodes = nullptr;
    const KSPROPERTY_SET* const* builtins = nullptr;
    ULONG builtinCount = 0;
};
// Answers IOCTL_KS_PROPERTY; the request is completed by the caller.
NTSTATUS HandleProperty(const PropertyTarget& target, PIRP irp);
// The pin-factory property set AVStream adds to every filter.
const KSPROPERTY_SET& PinPropertySet();
// Pins: creation relative to a filter, close, and their device controls (ks_pin_*.cpp).
NTSTATUS CreatePinObject(HostFilter* filter, PFILE_OBJECT file, PIRP irp);
NTSTATUS ClosePinObject(HostPin* pin, PIRP irp);
NTSTATUS PinDeviceControl(HostPin* pin, PIRP irp);

// Pool tags of the host's AVStream objects, so a leaked object is named in the test output.
constexpr ULONG kFactoryPoolTag = PoolTag("KsFF");
constexpr ULONG kFilterPoolTag = PoolTag("KsFl");
constexpr ULONG kFilePoolTag = PoolTag("File");
constexpr ULONG kPropertyPoolTag = PoolTag("KsPr");

template <typename T>
T* NewInPool(ULONG tag) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), tag);
    return p ? new (p) T : nullptr;
}

template <typename T>
void DeleteInPool(T* object) {
    object->~T();
    ExFreePool(object);
}

}  // namespace host::ks
