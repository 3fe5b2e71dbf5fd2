// The kernel handle table and ZwClose.
#include "platform/host/handles.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/sync_internal.h"

namespace {

struct Entry {
    host::HandleKind kind;
    ACCESS_MASK access;
    std::shared_ptr<void> object;
    host::HandleCloseRoutine close;
};

struct Table {
    std::mutex lock;
    std::unordered_map<uint64_t, Entry> open;
    uint64_t next = 1;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: handles may be closed at exit
    return *table;
}

// x64 kernel handles have the top bit set and are multiples of four.
constexpr uint64_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

uint64_t Value(HANDLE handle) {
    return uint64_t(uintptr_t(handle));
}

[[noreturn]] void BadHandle(const char* routine, HANDLE handle) {
    host::BugCheck("INVALID_KERNEL_HANDLE", std::string(routine) + " on handle " +
                                                std::to_string(Value(handle)) +
                                                ", which is not open");
}

}  // namespace

namespace host {

HANDLE HandleInsert(HandleKind kind, ACCESS_MASK access, std::shared_ptr<void> object,
                    HandleCloseRoutine close) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> g(table.lock);
    uint64_t value = kKernelHandleBase + 4 * table.next++;
    table.open.emplace(value, Entry{kind, access, std::move(object), close});
    return reinterpret_cast<HANDLE>(uintptr_t(value));
}

NTSTATUS HandleLookup(HANDLE handle, HandleKind kind, const char* routine, HandleReference* out) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> g(table.lock);
    auto it = table.open.find(Value(handle));
    if (it == table.open.end())
        BadHandle(routine, handle);
    if (it->second.kind != kind)
        return STATUS_OBJECT_TYPE_MISMATCH;
    out->object = it->second.object;
    out->access = it->second.access;
    return STATUS_SUCCESS;
}

size_t HandleCount(HandleKind kind) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> g(table.lock);
    size_t n = 0;
    for (const auto& [value, entry] : table.open)
        n += entry.kind == kind;
    return n;
}

void HandleDropAll(HandleKind kind) {
    Table& table = TheTable();
    std::unique_lock<std::mutex> g(table.lock);
    std::vector<std::shared_ptr<void>> dropped;  // released after the lock
    for (auto it = table.open.begin(); it != table.open.end();) {
        if (it->second.kind == kind) {
            dropped.push_back(std::move(it->second.object));
            it = table.open.erase(it);
        } else {
            ++it;
        }
    }
    g.unlock();
}

}  // namespace host

extern "C" NTSTATUS NTAPI ZwClose(HANDLE handle) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    Table& table = TheTable();
    Entry entry{};
    {
        std::lock_guard<std::mutex> g(table.lock);
        auto it = table.open.find(Value(handle));
        if (it == table.open.end())
            BadHandle("ZwClose", handle);
        entry = std::move(it->second);
        table.open.erase(it);
    }
    if (entry.close)
        entry.close(entry.object);
    return STATUS_SUCCESS;
}
