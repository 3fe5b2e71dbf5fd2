// Filter factories: KsCreateFilterFactory with the checks AVStream's callers must satisfy, the
// device interfaces each factory registers, and what device start and stop do to factories.
#include <cstdio>

#include "platform/host/ks_objects.h"

namespace host::ks {
namespace {

// Longest reference string taken from the driver: a UNICODE_STRING's limit, so a string
// without its NUL stops here instead of running through memory.
constexpr size_t kMaxReference = 32767;

char16_t Fold(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

bool SameReference(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    }
    return true;
}

// A reference GUID as a reference string: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::u16string GuidString(const GUID& g) {
    char text[40];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             unsigned(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(text, text + 38);
}

bool ValidAutomation(const KSAUTOMATION_TABLE* table) {
    if (!table || table->PropertySetsCount == 0)
        return true;
    // Items are laid out PropertyItemSize apart, which may exceed KSPROPERTY_ITEM but never
    // fall short of it.
    if (!table->PropertySets || table->PropertyItemSize < sizeof(KSPROPERTY_ITEM) ||
        table->PropertyItemSize % 8 != 0) {
        return false;
    }
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
        const KSPROPERTY_SET& set = table->PropertySets[i];
        if (!set.Set || (set.PropertiesCount && !set.PropertyItem))
            return false;
    }
    return true;
}

bool ValidPins(const KSFILTER_DESCRIPTOR* d) {
    if (d->PinDescriptorsCount == 0)
        return true;
    if (!d->PinDescriptors || d->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX) ||
        d->PinDescriptorSize % 8 != 0) {
        return false;
    }
    for (ULONG i = 0; i < d->PinDescriptorsCount; ++i) {
        auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
            reinterpret_cast<const char*>(d->PinDescriptors) + size_t(i) * d->PinDescriptorSize);
        const KSPIN_DESCRIPTOR& p = pin->PinDescriptor;
        if (p.DataRangesCount && !p.DataRanges)
            return false;
        for (ULONG r = 0; r < p.DataRangesCount; ++r) {
            if (!p.DataRanges[r] || p.DataRanges[r]->FormatSize < sizeof(KSDATARANGE))
                return false;
        }
        if (p.DataFlow != KSPIN_DATAFLOW_IN && p.DataFlow != KSPIN_DATAFLOW_OUT)
            return false;
    }
    return true;
}

bool ValidDescriptor(const KSFILTER_DESCRIPTOR* d) {
    if (!d || d->Version != KSFILTER_DESCRIPTOR_VERSION)
        return false;
    if (d->CategoriesCount && !d->Categories)
        return false;
    if (!ValidAutomation(d->AutomationTable) || !ValidPins(d))
        return false;
    if (d->NodeDescriptorsCount) {
        if (!d->NodeDescriptors || d->NodeDescriptorSize < sizeof(KSNODE_DESCRIPTOR))
            return false;
        for (ULONG i = 0; i < d->NodeDescriptorsCount; ++i) {
            auto* node = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
                reinterpret_cast<const char*>(d->NodeDescriptors) +
                size_t(i) * d->NodeDescriptorSize);
            if (!ValidAutomation(node->AutomationTable))
                return false;
        }
    }
    return true;
}

size_t RegisterInterface(HostDevice* device, const GUID& category,
                         const std::u16string& reference) {
    for (size_t i = 0; i < device->interfaces.size(); ++i) {
        const DeviceInterfaceRecord& r = device->interfaces[i];
        if (IsEqualGUIDAligned(r.category, category) && SameReference(r.reference, reference))
            return i;
    }
    device->interfaces.push_back(DeviceInterfaceRecord{category, reference, false});
    return device->interfaces.size() - 1;
}

void SetInterfaces(HostFactory* factory, bool enabled) {
    for (size_t index : factory->interfaces)
        factory->device->interfaces[index].enabled = enabled;
}

void DestroyFactory(HostFactory* factory) {
    if (factory->openFilters > 0)
        BugCheck("a filter factory destroyed while its filters are open");
    SetInterfaces(factory, false);
    EmptyBag(&factory->bag);
    auto& list = factory->device->factories;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == factory) {
            list.erase(it);
            break;
        }
    }
    DeleteInPool(factory);
}

}  // namespace

void EnableInterfacesAtStart(HostDevice* device) {
    for (HostFactory* factory : device->factories) {
        if (factory->enableWhenStarted)
            SetInterfaces(factory, true);
        factory->enableWhenStarted = false;
    }
}

void DropFactoriesAtStop(HostDevice* device) {
    std::vector<HostFactory*> factories = device->factories;
    for (auto it = factories.rbegin(); it != factories.rend(); ++it) {
        HostFactory* factory = *it;
        if (factory->createItemFlags & KSCREATE_ITEM_FREEONSTOP) {
            DestroyFactory(factory);
            continue;
        }
        // A stopped device takes no creates: what was enabled comes back with the next start.
        bool enabled = false;
        for (size_t index : factory->interfaces)
            enabled = enabled || device->interfaces[index].enabled;
        SetInterfaces(factory, false);
        factory->enableWhenStarted = enabled || factory->enableWhenStarted;
    }
}

void DestroyFactories(HostDevice* device) {
    while (!device->factories.empty())
        DestroyFactory(device->factories.back());
}

HostFactory* FactoryByReference(HostDevice* device, const std::u16string& reference) {
    for (HostFactory* factory : device->factories) {
        if (SameReference(factory->reference, reference))
            return factory;
    }
    return nullptr;
}

}  // namespace host::ks

namespace host {

std::vector<DeviceInterface> DeviceInterfaces(PKSDEVICE device) {
    ks::HostDevice* host = ks::FindDevice(device);
    if (!host)
        BugCheck("DeviceInterfaces of something that is not a live AVStream device");
    std::vector<DeviceInterface> out;
    for (const ks::DeviceInterfaceRecord& r : host->interfaces) {
        std::string reference;
        for (char16_t c : r.reference)
            reference += c < 0x80 ? char(c) : '?';
        out.push_back(DeviceInterface{r.category, reference, r.enabled});
    }
    return out;
}

size_t FilterFactoryCount(PKSDEVICE device) {
    ks::HostDevice* host = ks::FindDevice(device);
    if (!host)
        BugCheck("FilterFactoryCount of something that is not a live AVStream device");
    return host->factories.size();
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT fdo, const KSFILTER_DESCRIPTOR* descriptor,
                                     PWSTR refString, PSECURITY_DESCRIPTOR, ULONG flags,
                                     PFNKSFILTERFACTORYPOWER, PFNKSFILTERFACTORYPOWER,
                                     PKSFILTERFACTORY* out) {
    using namespace host::ks;
    if (out)
        *out = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::BugCheck("KsCreateFilterFactory above PASSIVE_LEVEL");
    HostDevice* device = DeviceOfFunctionalObject(fdo);
    if (!device)
        host::BugCheck("KsCreateFilterFactory on a device object that is not an AVStream device");
    if (!host::DeviceLockHeld(&device->ks))
        host::BugCheck("KsCreateFilterFactory without the device mutex");
    if (!ValidDescriptor(descriptor))
        return STATUS_INVALID_PARAMETER;
    // Only the flags whose meaning the host carries out are taken; a wildcard create item
    // would route requests the host does not route.
    if (flags & ~ULONG(KSCREATE_ITEM_SECURITYCHANGED | KSCREATE_ITEM_NOPARAMETERS |
                       KSCREATE_ITEM_FREEONSTOP)) {
        return STATUS_INVALID_PARAMETER;
    }

    std::u16string reference;
    if (refString) {
        size_t n = 0;
        while (refString[n]) {
            if (++n > kMaxReference)
                host::BugCheck("KsCreateFilterFactory reference string without an end");
        }
        reference.assign(refString, n);
    } else if (descriptor->ReferenceGuid) {
        reference = GuidString(*descriptor->ReferenceGuid);
    }
    if (FactoryByReference(device, reference))
        return STATUS_OBJECT_NAME_COLLISION;

    HostFactory* factory = NewInPool<HostFactory>(kFactoryPoolTag);
    if (!factory)
        return STATUS_INSUFFICIENT_RESOURCES;
    factory->ks.FilterDescriptor = descriptor;
    factory->ks.Bag = &factory->bag;
    factory->ks.Context = device->ks.Context;
    factory->device = device;
    factory->reference = reference;
    factory->createItemFlags = flags;
    for (ULONG i = 0; i < descriptor->CategoriesCount; ++i)
        factory->interfaces.push_back(
            RegisterInterface(device, descriptor->Categories[i], reference));
    // Made before the device finished starting (Add, Start): AVStream enables the interfaces
    // when the start completes. Later the driver calls KsFilterFactorySetDeviceClassesState.
    factory->enableWhenStarted = !device->ks.Started;
    device->factories.push_back(factory);
    if (out)
        *out = &factory->ks;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY filterFactory,
                                                    BOOLEAN newState) {
    using namespace host::ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::BugCheck("KsFilterFactorySetDeviceClassesState above PASSIVE_LEVEL");
    HostFactory* factory = FindFactory(filterFactory);
    if (!factory)
        host::BugCheck("KsFilterFactorySetDeviceClassesState of something that is not a factory");
    SetInterfaces(factory, newState != FALSE);
    factory->enableWhenStarted = false;
    return STATUS_SUCCESS;
}

}  // extern "C"
