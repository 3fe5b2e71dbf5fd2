// Keys and values over the hive held in memory by hivex, one lock around every hivex call.
#include "platform/host/registry_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/handles.h"
#include "platform/host/registry_hive.h"

namespace host::registry {
namespace {

static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type holds a registry type");

// The largest data hivex writes (a cell holds at most 1,000,000 bytes with its size).
constexpr size_t kHivexMaxData = 999996;

struct Pending {
    KeyPath path;
    std::vector<RegistryValue> values;  // in the order first set
};

struct Store {
    std::mutex lock;
    hive_h* hive = nullptr;
    std::string path;                        // the file behind `hive`
    std::string privateDir;                  // set when the file is our own temporary one
    bool changed = false;                    // the hive in memory differs from the file
    std::map<std::string, Pending> pending;  // values set and not yet in the hive, by key
};

Store& TheStore() {
    static Store* store = new Store;  // never destroyed: removed explicitly at exit
    return *store;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Registry names compare without regard to case; hivex folds only ASCII, and so do we.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string PendingKey(const KeyPath& path) {
    std::string key;
    for (const std::string& c : path) {
        key += '\\';
        for (char ch : c)
            key += Lower(ch);
    }
    return key;
}

// A value's type is any 32-bit number, not only one hive_type names: it is moved between the
// two as bytes, never loaded as the enum, which would be undefined for the unnamed ones.
ULONG TypeOf(const hive_type* t) {
    uint32_t v;
    std::memcpy(&v, t, sizeof v);
    return v;
}

void SetHiveType(hive_type* t, ULONG type) {
    std::memcpy(t, &type, sizeof type);
}

void CloseHive(Store& s) {
    if (s.hive)
        hivex_close(s.hive);
    s.hive = nullptr;
    if (!s.privateDir.empty()) {
        ::unlink(s.path.c_str());
        ::unlink((s.path + ".tmp").c_str());
        ::rmdir(s.privateDir.c_str());
        s.privateDir.clear();
    }
    s.path.clear();
    s.changed = false;
    s.pending.clear();
}

void RemovePrivateHiveAtExit() {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.privateDir.empty())
        CloseHive(s);
}

bool MakePrivateHive(Store& s) {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(RemovePrivateHiveAtExit); });
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bayercam-registry-XXXXXX";
    if (!::mkdtemp(dir.data())) {
        std::fprintf(stderr, "host registry: cannot make %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::string path = dir + "/SYSTEM";
    std::string error;
    hive_h* hive = CreateHiveFile(path, &error) ? OpenHiveFile(path, &error) : nullptr;
    if (!hive) {
        std::fprintf(stderr, "host registry: %s\n", error.c_str());
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
        return false;
    }
    s.hive = hive;
    s.path = path;
    s.privateDir = dir;
    s.changed = false;
    return true;
}

// The hive, made on first use; reopened from its file after a failed write was abandoned.
bool EnsureHive(Store& s) {
    if (s.hive)
        return true;
    if (s.path.empty())
        return MakePrivateHive(s);
    std::string error;
    s.hive = OpenHiveFile(s.path, &error);
    if (!s.hive)
        std::fprintf(stderr, "host registry: %s\n", error.c_str());
    return s.hive != nullptr;
}

// hivex leaves a key half rewritten when a write fails: forget everything since the last
// commit by reading the file again.
void Abandon(Store& s, const char* what) {
    std::fprintf(stderr, "host registry: %s failed (%s); changes since the last write are lost\n",
                 what, std::strerror(errno));
    hivex_close(s.hive);
    s.hive = nullptr;
    s.changed = false;
    EnsureHive(s);
}

NTSTATUS Child(hive_h* h, hive_node_h parent, const std::string& name, hive_node_h* child) {
    errno = 0;
    hive_node_h c = hivex_node_get_child(h, parent, name.c_str());
    if (!c)
        return errno ? STATUS_REGISTRY_CORRUPT : STATUS_OBJECT_NAME_NOT_FOUND;
    *child = c;
    return STATUS_SUCCESS;
}

// The key's node; STATUS_KEY_DELETED when it is not in the hive (any more).
NTSTATUS Resolve(Store& s, const KeyPath& path, hive_node_h* node) {
    if (!EnsureHive(s))
        return STATUS_REGISTRY_IO_FAILED;
    hive_node_h n = hivex_root(s.hive);
    if (!n)
        return STATUS_REGISTRY_CORRUPT;
    for (const std::string& c : path) {
        NTSTATUS status = Child(s.hive, n, c, &n);
        if (!NT_SUCCESS(status))
            return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_KEY_DELETED : status;
    }
    *node = n;
    return STATUS_SUCCESS;
}

NTSTATUS ReadValue(hive_h* h, hive_value_h v, RegistryValue* out) {
    errno = 0;
    char* name = hivex_value_key(h, v);
    if (!name)
        return STATUS_REGISTRY_CORRUPT;
    hive_type t{};
    size_t len = 0;
    errno = 0;
    char* data = hivex_value_value(h, v, &t, &len);
    if (!data && (errno || len)) {
        std::free(name);
        return STATUS_REGISTRY_CORRUPT;
    }
    out->name = name;
    out->type = TypeOf(&t);
    out->data.assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + len);
    std::free(name);
    std::free(data);
    return STATUS_SUCCESS;
}

NTSTATUS ReadValues(hive_h* h, hive_node_h node, std::vector<RegistryValue>* out) {
    errno = 0;
    hive_value_h* values = hivex_node_values(h, node);
    if (!values)
        return STATUS_REGISTRY_CORRUPT;
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t i = 0; values[i] && NT_SUCCESS(status); ++i) {
        RegistryValue v;
        status = ReadValue(h, values[i], &v);
        out->push_back(std::move(v));
    }
    std::free(values);
    return status;
}

// Applies `changes` to `values`: a value of the same name keeps its place and its stored
// name, others are added at the end. Whether anything differs afterwards.
bool Merge(std::vector<RegistryValue>* values, const std::vector<RegistryValue>& changes) {
    bool differs = false;
    for (const RegistryValue& c : changes) {
        auto it = values->begin();
        while (it != values->end() && !SameName(it->name, c.name))
            ++it;
        if (it == values->end()) {
            values->push_back(c);
            differs = true;
        } else if (it->type != c.type || it->data != c.data) {
            it->type = c.type;
            it->data = c.data;
            differs = true;
        }
    }
    return differs;
}

// One rebuild of the key's values, only if the pending ones change them.
bool WritePending(Store& s, const Pending& p, std::string* error) {
    hive_node_h node = 0;
    std::vector<RegistryValue> values;
    NTSTATUS status = Resolve(s, p.path, &node);
    if (NT_SUCCESS(status))
        status = ReadValues(s.hive, node, &values);
    if (!NT_SUCCESS(status)) {
        *error = "values of a key that cannot be read any more are lost";
        return false;
    }
    if (!Merge(&values, p.values))
        return true;
    if (values.size() > kMaxValuesPerKey) {
        *error = "too many values in one key";
        return false;
    }
    static char empty = 0;
    std::vector<hive_set_value> set(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        // Values read from a hive Windows wrote can exceed what hivex can write back.
        if (values[i].data.size() > kHivexMaxData) {
            *error = "a value of the key is too large to be written back";
            return false;
        }
        set[i].key = const_cast<char*>(values[i].name.c_str());
        SetHiveType(&set[i].t, values[i].type);
        set[i].len = values[i].data.size();
        set[i].value =
            values[i].data.empty() ? &empty : reinterpret_cast<char*>(values[i].data.data());
    }
    errno = 0;
    if (hivex_node_set_values(s.hive, node, set.size(), set.data(), 0) != 0) {
        *error = std::string("cannot store values: ") + std::strerror(errno);
        Abandon(s, "storing values");
        return false;
    }
    s.changed = true;
    return true;
}

bool CommitLocked(Store& s, std::string* error) {
    if (!s.hive && s.pending.empty())
        return true;
    bool ok = true;
    for (const auto& [key, p] : s.pending) {
        if (!WritePending(s, p, error))
            ok = false;
    }
    s.pending.clear();
    if (!s.hive || !s.changed)
        return ok;
    if (!CommitHiveFile(s.hive, s.path, error))
        return false;
    s.changed = false;
    return ok;
}

}  // namespace

bool ValidValueName(const std::string& name) {
    if (name.size() > kMaxValueNameChars)
        return false;
    for (char c : name) {
        if (c == 0 || uint8_t(c) >= 0x80)
            return false;
    }
    return true;
}

bool ValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxKeyNameChars && ValidValueName(name) &&
           name.find('\\') == std::string::npos;
}

NTSTATUS CreateKey(const KeyPath& base, const KeyPath& relative, bool createParents, KeyPath* key,
                   ULONG* disposition) {
    for (const std::string& c : relative) {
        if (!ValidKeyName(c))
            return STATUS_OBJECT_NAME_INVALID;
    }
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    hive_node_h node = 0;
    NTSTATUS status = Resolve(s, base, &node);
    if (!NT_SUCCESS(status))
        return status;
    KeyPath path = base;
    ULONG result = REG_OPENED_EXISTING_KEY;
    for (size_t i = 0; i < relative.size(); ++i) {
        const std::string& name = relative[i];
        status = Child(s.hive, node, name, &node);
        result = REG_OPENED_EXISTING_KEY;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND && (createParents || i + 1 == relative.size())) {
            if (hivex_node_nr_children(s.hive, node) >= kMaxSubkeysPerKey)
                return STATUS_INSUFFICIENT_RESOURCES;
            errno = 0;
            hive_node_h child = hivex_node_add_child(s.hive, node, name.c_str());
            if (!child) {
                Abandon(s, "creating a key");
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            s.changed = true;
            node = child;
            status = STATUS_SUCCESS;
            result = REG_CREATED_NEW_KEY;
        }
        if (!NT_SUCCESS(status))
            return status;
        path.push_back(name);
    }
    *key = std::move(path);
    *disposition = result;
    return STATUS_SUCCESS;
}

NTSTATUS QueryValue(const KeyPath& key, const std::string& name, RegistryValue* value) {
    if (!ValidValueName(name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    hive_node_h node = 0;
    NTSTATUS status = Resolve(s, key, &node);
    if (!NT_SUCCESS(status))
        return status;
    auto p = s.pending.find(PendingKey(key));
    if (p != s.pending.end()) {
        for (const RegistryValue& v : p->second.values) {
            if (SameName(v.name, name)) {
                *value = v;
                return STATUS_SUCCESS;
            }
        }
    }
    errno = 0;
    hive_value_h v = hivex_node_get_value(s.hive, node, name.c_str());
    if (!v)
        return errno ? STATUS_REGISTRY_CORRUPT : STATUS_OBJECT_NAME_NOT_FOUND;
    return ReadValue(s.hive, v, value);
}

NTSTATUS SetValue(const KeyPath& key, const RegistryValue& value) {
    if (!ValidValueName(value.name))
        return STATUS_INVALID_PARAMETER;
    if (value.data.size() > kMaxValueData)
        return STATUS_INSUFFICIENT_RESOURCES;
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    hive_node_h node = 0;
    NTSTATUS status = Resolve(s, key, &node);
    if (!NT_SUCCESS(status))
        return status;
    Pending& p = s.pending[PendingKey(key)];
    p.path = key;
    for (RegistryValue& v : p.values) {
        if (SameName(v.name, value.name)) {
            v.type = value.type;
            v.data = value.data;
            return STATUS_SUCCESS;
        }
    }
    // Counts a pending value already stored twice: an upper bound is enough for a limit.
    if (hivex_node_nr_values(s.hive, node) + p.values.size() >= kMaxValuesPerKey)
        return STATUS_INSUFFICIENT_RESOURCES;
    p.values.push_back(value);
    return STATUS_SUCCESS;
}

NTSTATUS ListValues(const KeyPath& key, std::vector<RegistryValue>* values) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    hive_node_h node = 0;
    NTSTATUS status = Resolve(s, key, &node);
    std::vector<RegistryValue> stored;
    if (NT_SUCCESS(status))
        status = ReadValues(s.hive, node, &stored);
    if (!NT_SUCCESS(status))
        return status;
    auto p = s.pending.find(PendingKey(key));
    if (p != s.pending.end())
        Merge(&stored, p->second.values);
    *values = std::move(stored);
    return STATUS_SUCCESS;
}

bool Commit(std::string* error) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    return CommitLocked(s, error);
}

bool Attach(const std::string& path, std::string* error) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    if (HandleCount(HandleKind::Key) != 0) {
        *error = "key handles are open; close them before changing the hive file";
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        if (!CreateHiveFile(path, error))
            return false;
    }
    // Commits replace the file by renaming over it: name the file itself, not a link to it.
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string resolved = real;
    std::free(real);
    // The file attached now keeps what was set on it, first: it may be the one reopened.
    if (s.privateDir.empty() && !CommitLocked(s, error))
        return false;
    hive_h* hive = OpenHiveFile(resolved, error);
    if (!hive)
        return false;
    CloseHive(s);
    s.hive = hive;
    s.path = resolved;
    return true;
}

bool Detach(std::string* error) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    if (HandleCount(HandleKind::Key) != 0) {
        *error = "key handles are open; close them before closing the hive file";
        return false;
    }
    if (s.privateDir.empty() && !CommitLocked(s, error))
        return false;
    CloseHive(s);
    return true;
}

void Discard() {
    Store& s = TheStore();
    std::lock_guard<std::mutex> g(s.lock);
    CloseHive(s);
}

}  // namespace host::registry
