// The configuration manager's kernel services: key handles over the registry store, with
// the checks Windows makes of a kernel caller and the stricter ones a verifier adds (access
// rights are checked against the handle even for kernel callers).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/host/handles.h"
#include "platform/host/registry_store.h"

namespace {

using host::registry::KeyPath;

std::atomic<NTSTATUS> failDeviceKey{STATUS_SUCCESS};
std::atomic<NTSTATUS> failCreateKey{STATUS_SUCCESS};

struct KeyObject {
    KeyPath path;
};

// Windows flushes hives lazily; here a key's changes reach the file when a handle is closed,
// so a tool sees what the driver saved as soon as the driver lets go of its keys.
void CloseKey(const std::shared_ptr<void>&) {
    std::string error;
    if (!host::registry::Commit(&error))
        std::fprintf(stderr, "host registry: the hive was not written: %s\n", error.c_str());
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & MAXIMUM_ALLOWED)
        access = (access & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= KEY_READ;
    if (access & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= KEY_EXECUTE;
    if (access & GENERIC_ALL)
        access |= KEY_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

HANDLE NewKeyHandle(KeyPath path, ACCESS_MASK access) {
    auto key = std::make_shared<KeyObject>();
    key->path = std::move(path);
    return host::HandleInsert(host::HandleKind::Key, MapGenericAccess(access), std::move(key),
                              CloseKey);
}

// The registry accepts what hivex can match as Windows would: ASCII without NUL. Anything
// else Windows would take is refused as unsupported rather than stored wrongly.
NTSTATUS NameFrom(const UNICODE_STRING& s, std::string* out) {
    if (s.Length % 2 != 0 || s.Length > s.MaximumLength || (s.Length && !s.Buffer))
        return STATUS_INVALID_PARAMETER;
    out->clear();
    for (USHORT i = 0; i < s.Length / 2; ++i) {
        WCHAR c = s.Buffer[i];
        if (c == 0 || c >= 0x80)
            return STATUS_NOT_SUPPORTED;
        *out += char(c);
    }
    return STATUS_SUCCESS;
}

// A relative key path: components separated by single backslashes.
NTSTATUS SplitKeyPath(const std::string& name, KeyPath* path) {
    path->clear();
    if (name.empty())
        return STATUS_SUCCESS;
    if (name[0] == '\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('\\', start);
        std::string c = name.substr(start, end == std::string::npos ? end : end - start);
        if (!host::registry::ValidKeyName(c))
            return STATUS_OBJECT_NAME_INVALID;
        path->push_back(std::move(c));
        if (end == std::string::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

// The key behind a handle that must grant `needed`.
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK needed, const char* routine, KeyPath* path) {
    host::HandleReference ref;
    NTSTATUS status = host::HandleLookup(handle, host::HandleKind::Key, routine, &ref);
    if (!NT_SUCCESS(status))
        return status;
    if ((ref.access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    *path = static_cast<KeyObject*>(ref.object.get())->path;
    return STATUS_SUCCESS;
}

}  // namespace

namespace host {

void RegistryFailDeviceKey(NTSTATUS status) {
    failDeviceKey = status;
}

void RegistryFailCreateKey(NTSTATUS status) {
    failCreateKey = status;
}

size_t RegistryOpenHandles() {
    return HandleCount(HandleKind::Key);
}

}  // namespace host

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access,
                                       PHANDLE handle) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    constexpr ULONG kKnown =
        PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    bool deviceAndDriver = (keyType & PLUGPLAY_REGKEY_DEVICE) && (keyType & PLUGPLAY_REGKEY_DRIVER);
    bool neither = !(keyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER));
    if (!device || !handle || (keyType & ~kKnown) || deviceAndDriver || neither)
        return STATUS_INVALID_PARAMETER;
    if (!(device->Flags & DO_BUS_ENUMERATED_DEVICE))
        return STATUS_INVALID_DEVICE_REQUEST;
    // Only the driver's software key of the one device instance the host knows is kept.
    if (keyType != PLUGPLAY_REGKEY_DRIVER)
        return STATUS_NOT_SUPPORTED;
    NTSTATUS refused = failDeviceKey;
    if (!NT_SUCCESS(refused))
        return refused;
    KeyPath driverKey;
    NTSTATUS status = SplitKeyPath(host::kDriverKeyPath, &driverKey);
    KeyPath key;
    ULONG disposition = 0;
    // The installer made the key; a fresh hive has to be given it.
    if (NT_SUCCESS(status))
        status = host::registry::CreateKey({}, driverKey, true, &key, &disposition);
    if (!NT_SUCCESS(status))
        return status;
    *handle = NewKeyHandle(std::move(key), access);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                           ULONG, PUNICODE_STRING keyClass, ULONG options, PULONG disposition) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    if (!keyHandle || !attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & ~ULONG(OBJ_VALID_ATTRIBUTES)) ||
        (options & ~ULONG(REG_LEGAL_OPTION)))
        return STATUS_INVALID_PARAMETER;
    // hivex stores neither volatile keys nor links nor class names.
    if (options != REG_OPTION_NON_VOLATILE || (keyClass && keyClass->Length != 0))
        return STATUS_NOT_SUPPORTED;
    std::string name;
    NTSTATUS status = STATUS_SUCCESS;
    if (attributes->ObjectName)
        status = NameFrom(*attributes->ObjectName, &name);
    if (!NT_SUCCESS(status))
        return status == STATUS_INVALID_PARAMETER ? STATUS_OBJECT_NAME_INVALID : status;
    // Absolute names (\Registry\Machine\...) are not kept: keys open from a key handle.
    if (!attributes->RootDirectory)
        return name.empty() || name[0] != '\\' ? STATUS_OBJECT_PATH_SYNTAX_BAD
                                               : STATUS_NOT_SUPPORTED;
    KeyPath base;
    // A relative name only needs the parent to be an open key: a Zw call comes from kernel mode,
    // and Windows checks no granted access when kernel mode references the parent's handle (a
    // driver key opened for STANDARD_RIGHTS_READ is a parent of subkeys created for all access).
    status = ReferenceKey(attributes->RootDirectory, 0, "ZwCreateKey", &base);
    if (!NT_SUCCESS(status))
        return status;
    KeyPath relative;
    status = SplitKeyPath(name, &relative);
    if (!NT_SUCCESS(status))
        return status;
    NTSTATUS refused = failCreateKey;
    if (!NT_SUCCESS(refused))
        return refused;
    KeyPath key;
    ULONG result = 0;
    status = host::registry::CreateKey(base, relative, false, &key, &result);
    if (!NT_SUCCESS(status))
        return status;
    *keyHandle = NewKeyHandle(std::move(key), access);
    if (disposition)
        *disposition = result;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                               KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                               PULONG resultLength) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    KeyPath key;
    NTSTATUS status = ReferenceKey(keyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &key);
    if (!NT_SUCCESS(status))
        return status;
    if (infoClass < KeyValueBasicInformation || infoClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    if (infoClass != KeyValuePartialInformation)
        return STATUS_NOT_SUPPORTED;
    if (!valueName || !resultLength || (length && !info))
        return STATUS_INVALID_PARAMETER;
    std::string name;
    status = NameFrom(*valueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    host::RegistryValue value;
    status = host::registry::QueryValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    constexpr ULONG kHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG dataLength = ULONG(value.data.size());
    ULONG needed = kHeader + dataLength;
    *resultLength = needed;
    if (length < kHeader)
        return STATUS_BUFFER_TOO_SMALL;
    // The caller's buffer need not be aligned: copy the header field by field.
    auto* out = static_cast<uint8_t*>(info);
    const ULONG header[3] = {0, value.type, dataLength};
    std::memcpy(out, header, kHeader);
    ULONG copied = length - kHeader < dataLength ? length - kHeader : dataLength;
    if (copied)
        std::memcpy(out + kHeader, value.data.data(), copied);
    return copied < dataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type,
                             PVOID data, ULONG dataSize) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    KeyPath key;
    NTSTATUS status = ReferenceKey(keyHandle, KEY_SET_VALUE, "ZwSetValueKey", &key);
    if (!NT_SUCCESS(status))
        return status;
    if (dataSize && !data)
        return STATUS_INVALID_PARAMETER;
    host::RegistryValue value;
    if (valueName) {
        status = NameFrom(*valueName, &value.name);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (!host::registry::ValidValueName(value.name))
        return STATUS_INVALID_PARAMETER;
    if (dataSize > host::registry::kMaxValueData)
        return STATUS_INSUFFICIENT_RESOURCES;
    value.type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value.data.assign(bytes, bytes + dataSize);
    return host::registry::SetValue(key, value);
}

}  // extern "C"
