// The registry's keys and values over one hive, shared by the kernel services and the host
// controls. Values set are kept aside and written to the hive one key at a time when the
// registry commits, so a key saved again and again rebuilds its values once per commit, and
// not at all when nothing changed.
#pragma once

#include <string>
#include <vector>

#include "platform/host/host_control.h"

namespace host::registry {

// A key by the names of its components below the hive's root.
using KeyPath = std::vector<std::string>;

// What the hive format and hivex can hold, checked before anything reaches hivex (a write
// that hivex refuses half done corrupts the key).
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
// The largest data Windows reads from a single cell; hivex writes larger data in a form
// Windows does not accept.
constexpr size_t kMaxValueData = 16344;
constexpr size_t kMaxValuesPerKey = 100000;
constexpr size_t kMaxSubkeysPerKey = 60000;

// Names hivex can match as Windows does: ASCII, no NUL; key names also no backslash.
bool ValidKeyName(const std::string& name);
bool ValidValueName(const std::string& name);

// Opens `relative` below `base`, creating its last component when missing (every component
// with `createParents`). Fills the key's path and REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY.
NTSTATUS CreateKey(const KeyPath& base, const KeyPath& relative, bool createParents, KeyPath* key,
                   ULONG* disposition);
NTSTATUS QueryValue(const KeyPath& key, const std::string& name, RegistryValue* value);
NTSTATUS SetValue(const KeyPath& key, const RegistryValue& value);
NTSTATUS ListValues(const KeyPath& key, std::vector<RegistryValue>* values);

// Writes every change not yet in the file; true when there was none.
bool Commit(std::string* error);

// The backing file: attach an existing or new hive file, detach it (after committing), or
// drop everything for a fresh private hive.
bool Attach(const std::string& path, std::string* error);
bool Detach(std::string* error);
void Discard();

}  // namespace host::registry
