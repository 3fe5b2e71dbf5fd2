// System threads: what the start routine runs in, waits on the thread object, what a test
// leaves behind, refused creation, and misuse as bug checks.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/host/host_control.h"

namespace {

NTSTATUS Create(HANDLE* handle, PKSTART_ROUTINE routine, PVOID context,
                ULONG attributes = OBJ_KERNEL_HANDLE) {
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, nullptr, attributes, nullptr, nullptr);
    return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, &objectAttributes, nullptr, nullptr,
                                routine, context);
}

PVOID Reference(HANDLE handle) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    return object;
}

NTSTATUS Wait(PVOID object, LONGLONG relative100ns) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = relative100ns;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

void WaitForEnd(PVOID object) {
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// A routine that ends only when the test lets it.
struct Gate {
    KEVENT open;
    std::atomic<bool> ended{false};
    Gate() { KeInitializeEvent(&open, NotificationEvent, FALSE); }
    static VOID NTAPI Routine(PVOID context) {
        auto* gate = static_cast<Gate*>(context);
        KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, nullptr);
        gate->ended = true;
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    void Open() { KeSetEvent(&open, IO_NO_INCREMENT, FALSE); }
};

VOID NTAPI EndAtOnce(PVOID) {
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SystemThread, RunsItsRoutineAndIsFreedOnceWaitedForClosedAndDereferenced) {
    size_t alive = host::ThreadObjectsAlive();
    Gate gate;
    HANDLE handle = nullptr;
    ASSERT_EQ(Create(&handle, Gate::Routine, &gate), STATUS_SUCCESS);
    EXPECT_NE(uintptr_t(handle) >> 63, 0u) << "a kernel handle";
    PVOID object = Reference(handle);
    gate.Open();
    WaitForEnd(object);
    EXPECT_TRUE(gate.ended);
    EXPECT_EQ(ObDereferenceObject(object), 1) << "the handle's reference remains";
    EXPECT_EQ(host::ThreadObjectsAlive(), alive + 1);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::ThreadObjectsAlive(), alive);
}

struct Observed {
    KIRQL irql = 0xFF;
    int criticalRegionDepth = -1;
    std::thread::id thread;
    static VOID NTAPI Routine(PVOID context) {
        auto* observed = static_cast<Observed*>(context);
        observed->irql = KeGetCurrentIrql();
        observed->criticalRegionDepth = host::CriticalRegionDepth();
        observed->thread = std::this_thread::get_id();
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
};

TEST(SystemThread, RoutineRunsAtPassiveInsideOneCriticalRegionOnItsOwnThread) {
    // The creator's own critical region is its own: the new thread starts with just the one
    // the system enters for it.
    KeEnterCriticalRegion();
    Observed observed;
    HANDLE handle = nullptr;
    ASSERT_EQ(Create(&handle, Observed::Routine, &observed), STATUS_SUCCESS);
    KeLeaveCriticalRegion();
    PVOID object = Reference(handle);
    WaitForEnd(object);
    ObDereferenceObject(object);
    ZwClose(handle);
    EXPECT_EQ(observed.irql, PASSIVE_LEVEL);
    EXPECT_EQ(observed.criticalRegionDepth, 1);
    EXPECT_NE(observed.thread, std::this_thread::get_id());
}

TEST(SystemThread, WaitOnTheThreadEndsOnlyAfterTheRoutineEndsAndStaysSatisfied) {
    Gate gate;
    HANDLE handle = nullptr;
    ASSERT_EQ(Create(&handle, Gate::Routine, &gate), STATUS_SUCCESS);
    PVOID object = Reference(handle);
    EXPECT_EQ(Wait(object, 0), STATUS_TIMEOUT);
    EXPECT_EQ(Wait(object, -20 * 10000LL), STATUS_TIMEOUT);
    EXPECT_FALSE(gate.ended);
    gate.Open();
    WaitForEnd(object);
    EXPECT_TRUE(gate.ended);
    // An ended thread is signalled for good: every later wait is satisfied at once, a poll at
    // DISPATCH_LEVEL included.
    struct {
        const char* what;
        KIRQL irql;
        LONGLONG timeout;
    } const waits[] = {
        {"poll", PASSIVE_LEVEL, 0},
        {"again", PASSIVE_LEVEL, -10000},
        {"poll at DISPATCH_LEVEL", DISPATCH_LEVEL, 0},
    };
    for (const auto& w : waits) {
        KIRQL old = w.irql == DISPATCH_LEVEL ? host::RaiseIrqlToDispatch() : KIRQL(PASSIVE_LEVEL);
        EXPECT_EQ(Wait(object, w.timeout), STATUS_SUCCESS) << w.what;
        host::LowerIrql(old);
    }
    ObDereferenceObject(object);
    ZwClose(handle);
}

TEST(SystemThread, WhatATestLeavesBehindIsReported) {
    struct Left {
        HANDLE handle = nullptr;
        PVOID object = nullptr;
        Gate gate;
    };
    struct {
        const char* expected;
        std::function<void(Left&)> leave;    // starts a thread and lets go of it all but one way
        std::function<void(Left&)> cleanUp;  // lets go of what is left
    } const rows[] = {
        {"1 handle(s) not closed with ZwClose",
         [](Left& l) {
             ASSERT_EQ(Create(&l.handle, EndAtOnce, nullptr), STATUS_SUCCESS);
             l.object = Reference(l.handle);
             WaitForEnd(l.object);
             ObDereferenceObject(l.object);
         },
         [](Left& l) { ZwClose(l.handle); }},
        {"1 reference(s) from ObReferenceObjectByHandle not dropped",
         [](Left& l) {
             ASSERT_EQ(Create(&l.handle, EndAtOnce, nullptr), STATUS_SUCCESS);
             l.object = Reference(l.handle);
             WaitForEnd(l.object);
             ZwClose(l.handle);
         },
         [](Left& l) { ObDereferenceObject(l.object); }},
        {"still running its start routine",
         [](Left& l) {
             ASSERT_EQ(Create(&l.handle, Gate::Routine, &l.gate), STATUS_SUCCESS);
             ZwClose(l.handle);
         },
         [](Left& l) { l.gate.Open(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        size_t alive = host::ThreadObjectsAlive();
        uint64_t since = host::ThreadSequence();
        Left left;
        row.leave(left);
        std::string report = host::ThreadLeaksSince(since, 0);
        EXPECT_NE(report.find(row.expected), std::string::npos) << report;
        EXPECT_EQ(host::ThreadObjectsAlive(), alive + 1);
        row.cleanUp(left);
        // A thread let go of while running ends on its own; the grace period waits for it.
        EXPECT_EQ(host::ThreadLeaksSince(since, 5000), "");
        EXPECT_EQ(host::ThreadObjectsAlive(), alive);
    }
}

TEST(SystemThread, RefusedCreationStartsNothingAndReturnsNoHandle) {
    struct {
        const char* what;
        std::function<void()> arm;
        ULONG attributes;
        NTSTATUS expected;
    } const rows[] = {
        {"pool refuses the thread object", [] { host::PoolFailNth(1); }, OBJ_KERNEL_HANDLE,
         STATUS_INSUFFICIENT_RESOURCES},
        {"creation refused on demand", [] { host::FailThreadCreation(STATUS_UNSUCCESSFUL); },
         OBJ_KERNEL_HANDLE, STATUS_UNSUCCESSFUL},
        {"attribute invalid for a thread", [] {}, OBJ_KERNEL_HANDLE | OBJ_PERMANENT,
         STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        size_t alive = host::ThreadObjectsAlive();
        std::atomic<bool> ran{false};
        row.arm();
        HANDLE handle = reinterpret_cast<HANDLE>(uintptr_t(0x5A5A));
        EXPECT_EQ(Create(
                      &handle,
                      [](PVOID ran) NTAPI {
                          *static_cast<std::atomic<bool>*>(ran) = true;
                          PsTerminateSystemThread(STATUS_SUCCESS);
                      },
                      &ran, row.attributes),
                  row.expected);
        host::PoolClearFaults();
        host::FailThreadCreation(STATUS_SUCCESS);
        EXPECT_EQ(handle, reinterpret_cast<HANDLE>(uintptr_t(0x5A5A)));
        EXPECT_EQ(host::ThreadObjectsAlive(), alive);
        EXPECT_FALSE(ran);
    }
}

TEST(SystemThread, ReferenceRefusesWhatIsNotAThreadHandleForTheKernel) {
    DEVICE_OBJECT pdo{};
    pdo.Flags = DO_BUS_ENUMERATED_DEVICE;
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    HANDLE thread = nullptr;
    ASSERT_EQ(Create(&thread, EndAtOnce, nullptr), STATUS_SUCCESS);
    struct {
        const char* what;
        HANDLE handle;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    } const rows[] = {
        {"a key handle", key, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"a kernel handle for user mode", thread, UserMode, STATUS_INVALID_HANDLE},
    };
    for (const auto& row : rows) {
        PVOID object = reinterpret_cast<PVOID>(uintptr_t(1));
        EXPECT_EQ(
            ObReferenceObjectByHandle(row.handle, SYNCHRONIZE, nullptr, row.mode, &object, nullptr),
            row.expected)
            << row.what;
        EXPECT_EQ(object, nullptr) << row.what;
    }
    PVOID object = Reference(thread);
    WaitForEnd(object);
    ObDereferenceObject(object);
    ZwClose(thread);
    ZwClose(key);
}

class SystemThreadDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Starts a thread and waits for it: the bug check comes from the thread itself.
void RunToEnd(PKSTART_ROUTINE routine) {
    HANDLE handle = nullptr;
    Create(&handle, routine, nullptr);
    WaitForEnd(Reference(handle));
}

TEST_F(SystemThreadDeathTest, MisuseIsABugCheck) {
    struct {
        const char* what;
        std::function<void()> misuse;
        const char* message;
    } const rows[] = {
        {"terminating a thread the kernel did not create",
         [] { PsTerminateSystemThread(STATUS_SUCCESS); },
         "PsTerminateSystemThread from a thread that PsCreateSystemThread did not create"},
        {"a routine that returns", [] { RunToEnd([](PVOID) NTAPI {}); },
         "start routine returned instead of ending with PsTerminateSystemThread"},
        {"ending inside a region the routine entered",
         [] {
             RunToEnd([](PVOID) NTAPI {
                 KeEnterCriticalRegion();
                 PsTerminateSystemThread(STATUS_SUCCESS);
             });
         },
         "ended inside a critical region it entered"},
        {"leaving the system's critical region",
         [] {
             RunToEnd([](PVOID) NTAPI {
                 KeLeaveCriticalRegion();
                 PsTerminateSystemThread(STATUS_SUCCESS);
             });
         },
         "KeLeaveCriticalRegion without a matching enter"},
        {"waiting with a time-out at DISPATCH_LEVEL",
         [] {
             Gate gate;
             HANDLE handle = nullptr;
             Create(&handle, Gate::Routine, &gate);
             PVOID object = Reference(handle);
             host::RaiseIrqlToDispatch();
             Wait(object, -10000);
         },
         "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero time-out"},
        {"creating at DISPATCH_LEVEL",
         [] {
             host::RaiseIrqlToDispatch();
             HANDLE handle;
             Create(&handle, EndAtOnce, nullptr);
         },
         "IRQL_NOT_LESS_OR_EQUAL: PsCreateSystemThread"},
        {"creating without OBJ_KERNEL_HANDLE",
         [] {
             HANDLE handle;
             Create(&handle, EndAtOnce, nullptr, 0);
         },
         "without OBJ_KERNEL_HANDLE"},
        {"dropping a reference twice",
         [] {
             HANDLE handle = nullptr;
             Create(&handle, EndAtOnce, nullptr);
             PVOID object = Reference(handle);
             WaitForEnd(object);
             ObDereferenceObject(object);
             ObDereferenceObject(object);
         },
         "holds no reference to"},
        {"setting a thread object as an event",
         [] {
             Gate gate;
             HANDLE handle = nullptr;
             Create(&handle, Gate::Routine, &gate);
             KeSetEvent(static_cast<PRKEVENT>(Reference(handle)), IO_NO_INCREMENT, FALSE);
         },
         "KeSetEvent on a dispatcher object that is not an event"},
        {"removing a device with a thread still running",
         [] {
             Gate gate;
             HANDLE handle = nullptr;
             Create(&handle, Gate::Routine, &gate);
             host::RequireNoSystemThreadRunning("RemoveDevice");
         },
         "RemoveDevice with a system thread still running"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(row.misuse(), row.message) << row.what;
}

}  // namespace
