// Binds the image's imports to the host's implementation of the kernel, AVStream and USBD
// services. A name must be both on the allow-list (kernel/imports.allow, compiled in) and
// provided by the host: a service missing from either refuses the load rather than leaving a
// slot that would crash when the driver first calls through it.
#include <strings.h>

#include "platform/host/pe_image.h"
#include "platform/host/wdk.h"

namespace host {
namespace pe {
namespace {

struct ImportName {
    const char* module;
    const char* name;
};

const ImportName kAllowed[] = {
#include "pe_imports_allow.inc"
};

// The kernel exports the C library's memory routines under the Windows calling convention.
__attribute__((ms_abi)) void* KernelMemcpy(void* to, const void* from, size_t n) {
    return n ? memcpy(to, from, n) : to;
}
__attribute__((ms_abi)) void* KernelMemmove(void* to, const void* from, size_t n) {
    return n ? memmove(to, from, n) : to;
}
__attribute__((ms_abi)) void* KernelMemset(void* to, int value, size_t n) {
    return n ? memset(to, value, n) : to;
}
__attribute__((ms_abi)) int KernelMemcmp(const void* a, const void* b, size_t n) {
    return n ? memcmp(a, b, n) : 0;
}

template <typename F>
void* Address(F* function) {
    return reinterpret_cast<void*>(function);
}

bool Allowed(const std::string& module, const std::string& name) {
    for (const ImportName& a : kAllowed) {
        if (strcasecmp(a.module, module.c_str()) == 0 && name == a.name)
            return true;
    }
    return false;
}

void* Provided(const std::vector<HostService>& services, const std::string& module,
               const std::string& name) {
    for (const HostService& s : services) {
        if (strcasecmp(s.module, module.c_str()) == 0 && name == s.name)
            return s.address;
    }
    return nullptr;
}

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

}  // namespace

const std::vector<HostService>& HostServices() {
    static const std::vector<HostService> services = {
        {"ntoskrnl.exe", "ExAllocatePoolWithTag", Address(&ExAllocatePoolWithTag)},
        {"ntoskrnl.exe", "ExFreePool", Address(&ExFreePool)},
        {"ntoskrnl.exe", "ExFreePoolWithTag", Address(&ExFreePoolWithTag)},
        {"ntoskrnl.exe", "KeInitializeEvent", Address(&KeInitializeEvent)},
        {"ntoskrnl.exe", "KeSetEvent", Address(&KeSetEvent)},
        {"ntoskrnl.exe", "KeResetEvent", Address(&KeResetEvent)},
        {"ntoskrnl.exe", "KeWaitForSingleObject", Address(&KeWaitForSingleObject)},
        {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", Address(&KeAcquireSpinLockRaiseToDpc)},
        {"ntoskrnl.exe", "KeReleaseSpinLock", Address(&KeReleaseSpinLock)},
        {"ntoskrnl.exe", "KeEnterCriticalRegion", Address(&KeEnterCriticalRegion)},
        {"ntoskrnl.exe", "KeLeaveCriticalRegion", Address(&KeLeaveCriticalRegion)},
        {"ntoskrnl.exe", "KeDelayExecutionThread", Address(&KeDelayExecutionThread)},
        {"ntoskrnl.exe", "KeBugCheckEx", Address(&KeBugCheckEx)},
        {"ntoskrnl.exe", "KeSaveExtendedProcessorState", Address(&KeSaveExtendedProcessorState)},
        {"ntoskrnl.exe", "KeRestoreExtendedProcessorState",
         Address(&KeRestoreExtendedProcessorState)},
        {"ntoskrnl.exe", "IoBuildDeviceIoControlRequest", Address(&IoBuildDeviceIoControlRequest)},
        {"ntoskrnl.exe", "IofCallDriver", Address(&IofCallDriver)},
        {"ntoskrnl.exe", "IoAllocateIrp", Address(&IoAllocateIrp)},
        {"ntoskrnl.exe", "IoFreeIrp", Address(&IoFreeIrp)},
        {"ntoskrnl.exe", "IoCancelIrp", Address(&IoCancelIrp)},
        {"ntoskrnl.exe", "IoAllocateMdl", Address(&IoAllocateMdl)},
        {"ntoskrnl.exe", "IoBuildPartialMdl", Address(&IoBuildPartialMdl)},
        {"ntoskrnl.exe", "IoFreeMdl", Address(&IoFreeMdl)},
        {"ntoskrnl.exe", "MmBuildMdlForNonPagedPool", Address(&MmBuildMdlForNonPagedPool)},
        {"ntoskrnl.exe", "PsCreateSystemThread", Address(&PsCreateSystemThread)},
        {"ntoskrnl.exe", "ObReferenceObjectByHandle", Address(&ObReferenceObjectByHandle)},
        {"ntoskrnl.exe", "PsTerminateSystemThread", Address(&PsTerminateSystemThread)},
        {"ntoskrnl.exe", "ObfDereferenceObject", Address(&ObfDereferenceObject)},
        {"ntoskrnl.exe", "ZwClose", Address(&ZwClose)},
        {"ntoskrnl.exe", "IoOpenDeviceRegistryKey", Address(&IoOpenDeviceRegistryKey)},
        {"ntoskrnl.exe", "RtlInitUnicodeString", Address(&RtlInitUnicodeString)},
        {"ntoskrnl.exe", "ZwCreateKey", Address(&ZwCreateKey)},
        {"ntoskrnl.exe", "ZwQueryValueKey", Address(&ZwQueryValueKey)},
        {"ntoskrnl.exe", "ZwSetValueKey", Address(&ZwSetValueKey)},
        {"ntoskrnl.exe", "RtlCompareMemory", Address(&RtlCompareMemory)},
        {"ntoskrnl.exe", "memcpy", Address(&KernelMemcpy)},
        {"ntoskrnl.exe", "memset", Address(&KernelMemset)},
        {"ntoskrnl.exe", "memmove", Address(&KernelMemmove)},
        {"ntoskrnl.exe", "memcmp", Address(&KernelMemcmp)},
        {"ks.sys", "KsInitializeDriver", Address(&KsInitializeDriver)},
        {"ks.sys", "KsAcquireDevice", Address(&KsAcquireDevice)},
        {"ks.sys", "KsReleaseDevice", Address(&KsReleaseDevice)},
        {"ks.sys", "KsAddItemToObjectBag", Address(&KsAddItemToObjectBag)},
        {"ks.sys", "KsCreateFilterFactory", Address(&KsCreateFilterFactory)},
        {"ks.sys", "KsGetDevice", Address(&KsGetDevice)},
        {"ks.sys", "KsGetFilterFromIrp", Address(&KsGetFilterFromIrp)},
        {"ks.sys", "_KsEdit", Address(&_KsEdit)},
        {"ks.sys", "KsPinGetReferenceClockInterface", Address(&KsPinGetReferenceClockInterface)},
        {"ks.sys", "KsPinGetLeadingEdgeStreamPointer", Address(&KsPinGetLeadingEdgeStreamPointer)},
        {"ks.sys", "KsStreamPointerUnlock", Address(&KsStreamPointerUnlock)},
        {"ks.sys", "KsPinAttemptProcessing", Address(&KsPinAttemptProcessing)},
        {"USBD.SYS", "USBD_ParseConfigurationDescriptorEx",
         Address(&USBD_ParseConfigurationDescriptorEx)},
        {"USBD.SYS", "USBD_CreateConfigurationRequestEx",
         Address(&USBD_CreateConfigurationRequestEx)},
    };
    return services;
}

bool BindImports(uint8_t* base, const Headers& headers, const std::vector<HostService>& services,
                 std::vector<BoundImport>* bound, std::string* error) {
    constexpr size_t kDescriptorSize = 20;
    constexpr uint64_t kOrdinalFlag = 1ull << 63;
    constexpr size_t kMaxName = 255;
    const DataDirectory& dir = headers.directories[kImportDirectory];
    size_t size = headers.sizeOfImage;
    bound->clear();
    if (dir.size == 0)
        return true;
    for (uint64_t at = dir.rva;; at += kDescriptorSize) {
        if (at + kDescriptorSize > uint64_t(dir.rva) + dir.size)
            return Fail(error, "the import directory has no terminating entry");
        uint32_t lookupRva = 0, nameRva = 0, slotRva = 0;
        ReadAt(base, size, at, &lookupRva);
        ReadAt(base, size, at + 12, &nameRva);
        ReadAt(base, size, at + 16, &slotRva);
        if (nameRva == 0 && slotRva == 0)
            return true;
        std::string module;
        if (!ReadString(base, size, nameRva, kMaxName, &module))
            return Fail(error, "import descriptor at RVA " + Hex(at) + " has no valid module name");
        if (lookupRva == 0)
            lookupRva = slotRva;  // no separate lookup table: the slots hold the names until bound
        for (uint64_t i = 0;; ++i) {
            uint64_t thunk = 0;
            uint64_t slot = uint64_t(slotRva) + 8 * i;
            if (!ReadAt(base, size, uint64_t(lookupRva) + 8 * i, &thunk) || slot + 8 > size)
                return Fail(error, "the import table of " + Printable(module) +
                                       " runs past the end of the image");
            if (thunk == 0)
                break;
            if (thunk & kOrdinalFlag)
                return Fail(error, Printable(module) + "!#" + std::to_string(thunk & 0xffff) +
                                       ": imported by ordinal, which the host cannot resolve");
            std::string name;
            if (!ReadString(base, size, (thunk & 0x7fffffff) + 2, kMaxName, &name))
                return Fail(error, "import " + std::to_string(i) + " of " + Printable(module) +
                                       " has no valid name");
            std::string qualified = Printable(module) + "!" + Printable(name);
            if (!Allowed(module, name))
                return Fail(error, qualified + " is not on the driver's import allow-list");
            void* address = Provided(services, module, name);
            if (!address)
                return Fail(error, qualified + " is not provided by the host");
            void** entry = reinterpret_cast<void**>(base + slot);
            memcpy(entry, &address, sizeof address);
            bound->push_back({module, name, entry});
        }
    }
}

}  // namespace pe
}  // namespace host
