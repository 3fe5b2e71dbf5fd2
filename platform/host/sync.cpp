// Events, waits, delays, spin locks, IRQL and critical regions of the host platform. Events
// keep their state in the dispatcher header's SignalState and wait on it with a futex, so the
// record keeps its Windows size and needs no side table.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

// An event service handed another dispatcher object would change what its signal state means
// (a thread object is signalled exactly when the thread has ended).
void RequireEvent(PRKEVENT event, const char* routine) {
    if (!IsEvent(&event->Header)) {
        std::string what = std::string(routine) + " on a dispatcher object that is not an event";
        host::BugCheck(what.c_str());
    }
}

}  // namespace

namespace host {
int CriticalRegionDepth() {
    return criticalRegionDepth;
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
        BugCheck("IRQL raised to DISPATCH_LEVEL from above it");
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return old;
}

void LowerIrql(KIRQL irql) {
    if (irql > currentIrql)
        BugCheck("IRQL lowered to a higher level");
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
    if (!IsEvent(header) && header->Type != kThreadObject)
        host::BugCheck("KeWaitForSingleObject on something that is not a dispatcher object");
    bool blocking = !timeout || timeout->QuadPart != 0;
    if (blocking && currentIrql >= DISPATCH_LEVEL) {
        host::BugCheck("KeWaitForSingleObject with a time-out at DISPATCH_LEVEL or above");
    }
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
    if (currentIrql >= DISPATCH_LEVEL)
        host::BugCheck("KeDelayExecutionThread at DISPATCH_LEVEL");
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
    if (currentIrql > DISPATCH_LEVEL)
        host::BugCheck("spin lock acquired above DISPATCH_LEVEL");
    KIRQL old = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    while (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE)) {
        while (__atomic_load_n(lock, __ATOMIC_RELAXED))
            sched_yield();
    }
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    if (!__atomic_load_n(lock, __ATOMIC_RELAXED))
        host::BugCheck("release of a free spin lock");
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
        host::BugCheck("KeLeaveCriticalRegion without a matching enter");
    --criticalRegionDepth;
}

}  // extern "C"
