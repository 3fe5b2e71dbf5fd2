// The table of AVStream's live objects and their object bags: every pointer the driver hands
// back (a bag, a filter, a device) is looked up here before it is used, so a stale or foreign
// pointer stops the host with its name instead of corrupting memory.
#include "platform/host/ks_objects.h"

#include "platform/host/ks_pin_objects.h"

#include <cstdio>
#include <unordered_map>

namespace host::ks {
namespace {

struct Entry {
    Kind kind;
    void* host;
};

struct Table {
    std::mutex lock;
    std::unordered_map<const void*, Entry> objects;
    // How many bags hold each item: an item shared between bags is freed with the last.
    std::unordered_map<PVOID, int> bagged;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: objects may outlive static teardown
    return *table;
}

// Object bags refuse items while this count lasts, as AVStream does when it runs out of memory.
std::mutex bagRefusalLock;
NTSTATUS bagRefusal = STATUS_SUCCESS;
int bagRefusals = 0;

HostDevice* DeviceOfObject(const void* object) {
    if (HostDevice* device = FindDevice(object))
        return device;
    if (HostFactory* factory = FindFactory(object))
        return factory->device;
    if (HostFilter* filter = FindFilter(object))
        return filter->factory->device;
    if (HostPin* pin = FindPin(object))
        return pin->filter->factory->device;
    return nullptr;
}

}  // namespace

void Register(const void* record, Kind kind, void* host) {
    std::lock_guard<std::mutex> g(TheTable().lock);
    TheTable().objects[record] = Entry{kind, host};
}

void Unregister(const void* record) {
    std::lock_guard<std::mutex> g(TheTable().lock);
    TheTable().objects.erase(record);
}

void* Find(const void* record, Kind kind) {
    std::lock_guard<std::mutex> g(TheTable().lock);
    auto it = TheTable().objects.find(record);
    return it != TheTable().objects.end() && it->second.kind == kind ? it->second.host : nullptr;
}

HostDevice* FindDevice(const void* record) {
    return static_cast<HostDevice*>(Find(record, Kind::Device));
}

HostFactory* FindFactory(const void* record) {
    return static_cast<HostFactory*>(Find(record, Kind::Factory));
}

HostFilter* FindFilter(const void* record) {
    return static_cast<HostFilter*>(Find(record, Kind::Filter));
}

HostFilter* FilterOfFile(const void* file) {
    return static_cast<HostFilter*>(Find(file, Kind::File));
}

ObjectBag* FindBag(const void* bag) {
    return static_cast<ObjectBag*>(Find(bag, Kind::Bag));
}

HostPin* FindPin(const void* record) {
    return static_cast<HostPin*>(Find(record, Kind::Pin));
}

HostPin* PinOfFile(const void* file) {
    return static_cast<HostPin*>(Find(file, Kind::PinFile));
}

HostFilter* FilterOfPin(HostPin* pin) {
    return pin->filter;
}

HostDevice* DeviceOfFunctionalObject(const DEVICE_OBJECT* fdo) {
    std::lock_guard<std::mutex> g(TheTable().lock);
    for (auto& [record, entry] : TheTable().objects) {
        auto* device = static_cast<HostDevice*>(entry.host);
        if (entry.kind == Kind::Device && &device->functional == fdo)
            return device;
    }
    return nullptr;
}

void RequireBagMutex(ObjectBag* bag, const char* what) {
    static thread_local char message[200];
    // A device's and a factory's bag belong to the device mutex; a filter's to its control
    // mutex, which AVStream holds around the filter's Create and Close and the driver takes
    // with KsFilterAcquireControl elsewhere. The device mutex alone does not cover a filter.
    if (bag->owner == Kind::Filter || bag->owner == Kind::Pin) {
        HostFilter* filter =
            bag->owner == Kind::Filter ? FindFilter(bag->object) : FindPin(bag->object)->filter;
        if (!filter->control.HeldByCaller()) {
            snprintf(message, sizeof(message),
                     "%s object bag changed without the filter's control mutex (%s)",
                     bag->owner == Kind::Filter ? "filter" : "pin", what);
            host::BugCheck(message);
        }
    } else {
        HostDevice* device =
            bag->owner == Kind::Device ? FindDevice(bag->object) : FindFactory(bag->object)->device;
        if (!host::DeviceLockHeld(&device->ks)) {
            snprintf(message, sizeof(message),
                     "device object bag changed without the device lock (%s)", what);
            host::BugCheck(message);
        }
    }
}

void RemoveFromBag(ObjectBag* bag, PVOID item) {
    BagItem removed{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> g(bag->lock);
        for (auto it = bag->items.begin(); it != bag->items.end(); ++it) {
            if (it->item == item) {
                removed = *it;
                bag->items.erase(it);
                break;
            }
        }
    }
    if (!removed.item)
        return;
    {
        std::lock_guard<std::mutex> g(TheTable().lock);
        auto shared = TheTable().bagged.find(item);
        if (shared != TheTable().bagged.end() && --shared->second > 0)
            return;  // another bag still holds it
        TheTable().bagged.erase(item);
    }
    if (removed.free)
        removed.free(item);
    else
        ExFreePool(item);
}

void EmptyBag(ObjectBag* bag) {
    std::vector<BagItem> items;
    {
        std::lock_guard<std::mutex> g(bag->lock);
        items.swap(bag->items);
    }
    // Later items may refer to earlier ones; free in the reverse order of addition.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        {
            std::lock_guard<std::mutex> g(TheTable().lock);
            auto shared = TheTable().bagged.find(it->item);
            if (shared != TheTable().bagged.end() && --shared->second > 0)
                continue;
            TheTable().bagged.erase(it->item);
        }
        if (it->free)
            it->free(it->item);
        else
            ExFreePool(it->item);
    }
}

}  // namespace host::ks

namespace host {

void RefuseBagItems(NTSTATUS status, int count) {
    std::lock_guard<std::mutex> g(ks::bagRefusalLock);
    ks::bagRefusal = status;
    ks::bagRefusals = count;
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG bagHandle, PVOID item, PFNKSFREE free) {
    using namespace host::ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::BugCheck("KsAddItemToObjectBag above PASSIVE_LEVEL");
    ObjectBag* bag = FindBag(bagHandle);
    if (!bag)
        host::BugCheck("KsAddItemToObjectBag on something that is not a live object bag");
    if (!item)
        host::BugCheck("KsAddItemToObjectBag of a null item");
    RequireBagMutex(bag, "KsAddItemToObjectBag");
    {
        std::lock_guard<std::mutex> g(bagRefusalLock);
        if (bagRefusals > 0) {
            --bagRefusals;
            return bagRefusal;
        }
    }
    std::lock_guard<std::mutex> g(bag->lock);
    for (const BagItem& held : bag->items) {
        if (held.item == item)
            return STATUS_SUCCESS;  // already in this bag: it is still freed once
    }
    bag->items.push_back(BagItem{item, free});
    std::lock_guard<std::mutex> t(TheTable().lock);
    ++TheTable().bagged[item];
    return STATUS_SUCCESS;
}

PKSDEVICE NTAPI KsGetDevice(PVOID object) {
    host::ks::HostDevice* device = host::ks::DeviceOfObject(object);
    if (!device)
        host::BugCheck("KsGetDevice of something that is not a live AVStream object");
    return &device->ks;
}

}  // extern "C"
