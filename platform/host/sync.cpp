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
#include <thread>

#include "platform/host/host_control.h"

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int criticalRegionDepth = 0;

// Dispatcher types, as the kernel numbers them.
constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;

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
    if (header->Type == kSynchronizationEvent) {
        return __atomic_exchange_n(&header->SignalState, 0, __ATOMIC_SEQ_CST) != 0;
    }
    return __atomic_load_n(&header->SignalState, __ATOMIC_SEQ_CST) != 0;
}

}  // namespace

namespace host {
int CriticalRegionDepth() {
    return criticalRegionDepth;
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
    std::memset(event, 0, sizeof(*event));
    event->Header.Type = type == SynchronizationEvent ? kSynchronizationEvent : kNotificationEvent;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = state ? 1 : 0;
    event->Header.WaitListHead.Flink = &event->Header.WaitListHead;
    event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    LONG previous = __atomic_exchange_n(&event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    FutexWakeAll(&event->Header.SignalState);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT event) {
    return __atomic_exchange_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

VOID NTAPI KeClearEvent(PRKEVENT event) {
    KeResetEvent(event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT event) {
    return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER timeout) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
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
    if (criticalRegionDepth == 0)
        host::BugCheck("KeLeaveCriticalRegion without a matching enter");
    --criticalRegionDepth;
}

}  // extern "C"
