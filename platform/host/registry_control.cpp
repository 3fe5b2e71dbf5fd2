// The host controls of the registry: the backing file, resets, and direct access by path
// for tests and tools.
#include "platform/host/handles.h"
#include "platform/host/registry_store.h"

namespace {

using host::registry::KeyPath;

// "A\\B\\C" below the root; the empty path is the root itself.
bool SplitPath(const std::string& text, KeyPath* path) {
    path->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos)
            end = text.size();
        std::string c = text.substr(start, end - start);
        if (!host::registry::ValidKeyName(c))
            return false;
        path->push_back(std::move(c));
        start = end + 1;
        if (end + 1 == text.size())
            return false;  // a trailing backslash names no key
    }
    return true;
}

bool Report(bool ok, const std::string& reason, std::string* error) {
    if (!ok && error)
        *error = reason;
    return ok;
}

}  // namespace

namespace host {

bool RegistryOpenHive(const std::string& path, std::string* error) {
    std::string reason;
    return Report(registry::Attach(path, &reason), reason, error);
}

bool RegistryCloseHive(std::string* error) {
    std::string reason;
    return Report(registry::Detach(&reason), reason, error);
}

void RegistryReset() {
    HandleDropAll(HandleKind::Key);
    registry::Discard();
    RegistryFailDeviceKey(STATUS_SUCCESS);
    RegistryFailCreateKey(STATUS_SUCCESS);
}

bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValue* value) {
    KeyPath key;
    if (!value || !SplitPath(keyPath, &key))
        return false;
    return NT_SUCCESS(registry::QueryValue(key, name, value));
}

bool RegistrySetValue(const std::string& keyPath, const RegistryValue& value) {
    KeyPath relative, key;
    ULONG disposition = 0;
    if (!registry::ValidValueName(value.name) || value.data.size() > registry::kMaxValueData ||
        !SplitPath(keyPath, &relative) ||
        !NT_SUCCESS(registry::CreateKey({}, relative, true, &key, &disposition)) ||
        !NT_SUCCESS(registry::SetValue(key, value)))
        return false;
    std::string reason;
    return registry::Commit(&reason);
}

bool RegistryListValues(const std::string& keyPath, std::vector<RegistryValue>* values) {
    KeyPath key;
    if (!values || !SplitPath(keyPath, &key))
        return false;
    return NT_SUCCESS(registry::ListValues(key, values));
}

}  // namespace host
