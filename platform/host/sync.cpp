// Events, waits, delays, spin locks, IRQL and critical regions of the host platform. Events
// keep their state in the dispatcher header's SignalState and wait on it with a futex, so the
// record keeps its Windows size and needs no side table.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "platform/host/host_control.h"
#include "platform/host/sync_internal.h"

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int criticalRegionDepth = 0;
// Regions entered for the thread by the system rather than by the driver: a system thread
// starts inside one, and the driver has no matching enter to leave it with.
thread_local int criticalRegionFloor = 0;

// The spin locks this thread holds, innermost last, with the IRQL each acquire returned. A
// lock's word holds its owner's token while held, so the owner is known without a table.
struct HeldSpinLock {
    PKSPIN_LOCK lock;
    KIRQL previous;
};
constexpr int kMaxSpinLocksHeld = 16;
thread_local HeldSpinLock spinLocksHeld[kMaxSpinLocksHeld];
thread_local int spinLockDepth = 0;
thread_local char ownerToken;
thread_local int mutexesHeld = 0;

KSPIN_LOCK OwnerToken() {
    return KSPIN_LOCK(reinterpret_cast<uintptr_t>(&ownerToken));
}

using host::kNotificationEventObject;
using host::kSynchronizationEventObject;
using host::kThreadObject;

int* FutexWord(volatile LONG* p) {
    return const_cast<int*>(reinterpret_cast<volatile int*>(p));
}

void FutexWait(volatile LONG* word, LONG expected, const timespec* relative) {
    syscall(SYS_futex, FutexWord(word), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

void FutexWakeAll(volatile LONG* word) {
    syscall(SYS_futex, FutexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Takes the signal if the object is signalled: a synchronization event is consumed by the
// one waiter it releases, a notification event stays signalled.
bool TrySatisfy(DISPATCHER_HEADER* header) {
    if (header->Type == kSynchronizationEventObject) {
        return __atomic_exchange_n(&header->SignalState, 0, __ATOMIC_SEQ_CST) != 0;
    }
    return __atomic_load_n(&header->SignalState, __ATOMIC_SEQ_CST) != 0;
}

bool IsEvent(const DISPATCHER_HEADER* header) {
    return header->Type == kNotificationEventObject || header->Type == kSynchronizationEventObject;
}

// KeInitializeEvent leaves the wait list empty, linked to itself, and the size in place; a
// header that says otherwise was never initialised (a zeroed or stale record) or was copied
// away from where it was initialised. The type alone would pass a zeroed event.
bool Initialised(const DISPATCHER_HEADER* header) {
    if (header->WaitListHead.Flink != &header->WaitListHead ||
        header->WaitListHead.Blink != &header->WaitListHead)
        return false;
    return !IsEvent(header) || header->Size == sizeof(KEVENT) / sizeof(LONG);
}

// An event service handed another dispatcher object would change what its signal state means
// (a thread object is signalled exactly when the thread has ended).
void RequireEvent(PRKEVENT event, const char* routine) {
    if (!IsEvent(&event->Header)) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       std::string(routine) + " on a dispatcher object that is not an event");
    }
    if (!Initialised(&event->Header)) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       std::string(routine) +
                           " on an event never initialised with KeInitializeEvent (or copied)");
    }
}

}  // namespace

namespace host {
int CriticalRegionDepth() {
    return criticalRegionDepth;
}

int SpinLocksHeld() {
    return spinLockDepth;
}

int MutexesHeld() {
    return mutexesHeld;
}

void NoteMutexAcquired() {
    ++mutexesHeld;
}

void NoteMutexReleased() {
    --mutexesHeld;
}

void RequireIrqlAtMost(KIRQL highest, const char* routine) {
    if (spinLockDepth > 0 && highest < DISPATCH_LEVEL) {
        char what[200];
        snprintf(what, sizeof(what), "%s called while holding spin lock %p", routine,
                 static_cast<void*>(spinLocksHeld[spinLockDepth - 1].lock));
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", what);
    }
    if (currentIrql > highest) {
        char what[200];
        snprintf(what, sizeof(what), "%s called at IRQL %d, above %d", routine, int(currentIrql),
                 int(highest));
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", what);
    }
}

void RequirePageableIrql(const char* routine) {
    if (currentIrql > APC_LEVEL) {
        char what[200];
        snprintf(what, sizeof(what), "pageable routine %s entered at IRQL %d", routine,
                 int(currentIrql));
        BugCheck("DRIVER_IRQL_NOT_LESS_OR_EQUAL", what);
    }
}

CallbackState CurrentCallbackState() {
    return CallbackState{currentIrql, spinLockDepth, mutexesHeld, criticalRegionDepth};
}

void RequireCallbackReturn(const CallbackState& entry, const char* code, const char* callback) {
    char what[200];
    if (spinLockDepth != entry.spinLocks) {
        snprintf(what, sizeof(what), "%s returned holding %d spin lock(s) it entered without",
                 callback, spinLockDepth - entry.spinLocks);
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", what);
    }
    if (currentIrql != entry.irql) {
        snprintf(what, sizeof(what), "%s entered at IRQL %d returned at IRQL %d", callback,
                 int(entry.irql), int(currentIrql));
        BugCheck(code, what);
    }
    if (mutexesHeld != entry.mutexes || criticalRegionDepth != entry.criticalRegions) {
        snprintf(what, sizeof(what),
                 "%s returned with its mutexes or critical regions unbalanced (%+d, %+d)", callback,
                 mutexesHeld - entry.mutexes, criticalRegionDepth - entry.criticalRegions);
        BugCheck("APC_INDEX_MISMATCH", what);
    }
}

void DispatcherInitialize(DISPATCHER_HEADER* header, UCHAR type, size_t objectSize) {
    std::memset(header, 0, sizeof(*header));
    header->Type = type;
    // Size counts LONGs in a UCHAR; larger objects keep the largest count it holds.
    size_t longs = objectSize / sizeof(LONG);
    header->Size = UCHAR(longs > 0xFF ? 0xFF : longs);
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
}

void DispatcherSignalForever(DISPATCHER_HEADER* header) {
    __atomic_store_n(&header->SignalState, 1, __ATOMIC_SEQ_CST);
    FutexWakeAll(&header->SignalState);
}

void BeginSystemThreadContext() {
    currentIrql = PASSIVE_LEVEL;
    criticalRegionDepth = 1;
    criticalRegionFloor = 1;
}

KIRQL RaiseIrqlToDispatch() {
    if (currentIrql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "IRQL raised to DISPATCH_LEVEL from above it");
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return old;
}

void LowerIrql(KIRQL irql) {
    if (irql > currentIrql)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IRQL lowered to a higher level");
    currentIrql = irql;
}
}  // namespace host

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    host::DispatcherInitialize(
        &event->Header,
        type == SynchronizationEvent ? kSynchronizationEventObject : kNotificationEventObject,
        sizeof(KEVENT));
    event->Header.SignalState = state ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    RequireEvent(event, "KeSetEvent");
    host::DelayAtDispatch();
    LONG previous = __atomic_exchange_n(&event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    FutexWakeAll(&event->Header.SignalState);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT event) {
    RequireEvent(event, "KeResetEvent");
    return __atomic_exchange_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

VOID NTAPI KeClearEvent(PRKEVENT event) {
    KeResetEvent(event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT event) {
    RequireEvent(event, "KeReadStateEvent");
    return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER timeout) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    // A freed thread object reads as pool fill here: waiting on it is a use after free.
    if (!IsEvent(header) && header->Type != kThreadObject) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "KeWaitForSingleObject on something that is not a dispatcher object");
    }
    if (!Initialised(header)) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "KeWaitForSingleObject on an object never initialised (or copied)");
    }
    // Only a zero time-out is a poll; anything else may block, which only IRQL <= APC_LEVEL
    // and no spin lock held allow.
    bool blocking = !timeout || timeout->QuadPart != 0;
    if (blocking)
        host::RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject with a non-zero time-out");
    else
        host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
    if (timeout && timeout->QuadPart > 0) {
        host::BugCheck("absolute wait deadlines are not supported by the host kernel");
    }
    using clock = std::chrono::steady_clock;
    clock::time_point deadline{};
    if (timeout) {
        // Relative, in units of 100 ns. Beyond what a steady clock holds means forever.
        auto hundreds = -timeout->QuadPart;
        constexpr int64_t kMax = INT64_MAX / 200;
        if (hundreds > kMax)
            timeout = nullptr;
        else
            deadline = clock::now() + std::chrono::nanoseconds(hundreds * 100);
    }
    for (;;) {
        if (TrySatisfy(header))
            return STATUS_SUCCESS;
        timespec ts{};
        const timespec* tsp = nullptr;
        if (timeout) {
            auto left = deadline - clock::now();
            if (left <= clock::duration::zero())
                return STATUS_TIMEOUT;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = ns / 1000000000;
            ts.tv_nsec = ns % 1000000000;
            tsp = &ts;
        }
        FutexWait(&header->SignalState, 0, tsp);
    }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    host::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    LONGLONG hundreds = interval ? interval->QuadPart : 0;
    if (hundreds > 0)
        host::BugCheck("absolute delays are not supported by the host kernel");
    std::this_thread::sleep_for(std::chrono::nanoseconds(-hundreds * 100));
    return STATUS_SUCCESS;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) {
    *lock = 0;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
    KSPIN_LOCK token = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token) {
        host::BugCheck("SPIN_LOCK_ALREADY_OWNED",
                       "KeAcquireSpinLockRaiseToDpc of a spin lock the thread already holds");
    }
    if (spinLockDepth == kMaxSpinLocksHeld)
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "too many spin locks held at once");
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED))
            sched_yield();
    }
    spinLocksHeld[spinLockDepth++] = HeldSpinLock{lock, old};
    return old;
}

// Windows lets the owner release in any order with any IRQL; the host takes the strict reading:
// only the innermost lock, at DISPATCH_LEVEL, back to the IRQL its acquire returned. Anything
// else leaves a lock held below DISPATCH_LEVEL or drops the IRQL under another lock.
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerToken()) {
        host::BugCheck("SPIN_LOCK_NOT_OWNED",
                       "KeReleaseSpinLock of a spin lock the thread does not hold");
    }
    if (currentIrql != DISPATCH_LEVEL) {
        host::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeReleaseSpinLock below DISPATCH_LEVEL");
    }
    const HeldSpinLock& innermost = spinLocksHeld[spinLockDepth - 1];
    if (innermost.lock != lock) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "spin locks released out of order: not the one acquired last");
    }
    if (newIrql != innermost.previous) {
        host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                       "KeReleaseSpinLock to an IRQL other than the one its acquire returned");
    }
    --spinLockDepth;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    currentIrql = newIrql;
}

KIRQL NTAPI KeGetCurrentIrql(void) {
    return currentIrql;
}

VOID NTAPI KeEnterCriticalRegion(void) {
    ++criticalRegionDepth;
}

VOID NTAPI KeLeaveCriticalRegion(void) {
    if (criticalRegionDepth <= criticalRegionFloor)
        host::BugCheck("APC_INDEX_MISMATCH", "KeLeaveCriticalRegion without a matching enter");
    --criticalRegionDepth;
}

}  // extern "C"
