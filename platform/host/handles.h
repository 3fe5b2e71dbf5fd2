// The kernel handle table of the host platform: one table for every kind of object the
// driver holds by handle, so that a handle of one kind passed where another is expected, a
// handle closed twice and a handle never closed are all visible.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/host/sync_internal.h"
#include "platform/host/wdk.h"

namespace host {

enum class HandleKind : uint8_t { Key = 1, Thread = 2 };

// Runs when the last handle to an object is closed with ZwClose (not when handles are
// dropped), outside the table's lock.
using HandleCloseRoutine = void (*)(const std::shared_ptr<void>& object);

// A new kernel handle to `object`, granting `access`. Handle values are never reused, so a
// stale handle is always recognised as closed.
HANDLE HandleInsert(HandleKind kind, ACCESS_MASK access, std::shared_ptr<void> object,
                    HandleCloseRoutine close);

struct HandleReference {
    std::shared_ptr<void> object;
    ACCESS_MASK access = 0;
};

// The object behind an open handle of `kind`: STATUS_OBJECT_TYPE_MISMATCH for an open handle
// of another kind. A handle that is not open at all is a bug check, as Windows makes it for a
// kernel handle (INVALID_KERNEL_HANDLE); `routine` names the caller in the message.
NTSTATUS HandleLookup(HANDLE handle, HandleKind kind, const char* routine, HandleReference* out);

// Handles of `kind` open now.
size_t HandleCount(HandleKind kind);

// Forgets every handle of `kind` without running its close routine: for a reset that
// replaces the objects behind them.
void HandleDropAll(HandleKind kind);

}  // namespace host
