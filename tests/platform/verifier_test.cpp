// The checks the host kernel makes where Driver Verifier would, each provoked by a deliberately
// wrong driver fragment: a check that cannot fail shows up here as a fragment that survives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/platform/ks_test_driver.h"
#include "tests/platform/lower_driver.h"
#include "usb/urb_submit.h"

namespace {

constexpr ULONG kTag = host::PoolTag("Vrfy");

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Sends a request of its own to a device whose driver answers with `dispatch`; `routine`
// completes it back to the sender.
PIRP Send(PDRIVER_DISPATCH dispatch, PIO_COMPLETION_ROUTINE routine = Keep) {
    static DRIVER_OBJECT driver{};
    static DEVICE_OBJECT device{};
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    device.DriverObject = &driver;
    device.StackSize = 1;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(&device, irp);
    return irp;
}

PKSDEVICE TestDevice(PDEVICE_OBJECT lower = nullptr) {
    PKSDEVICE device = nullptr;
    host::LoadDriver(ks_test::DriverEntry);
    host::AddDevice(lower, &device);
    return device;
}

void WaitPolled(PKEVENT event) {
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
}

void WaitForever(PKEVENT event) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

struct Case {
    const char* name;
    void (*fragment)();
    const char* message;
};

const Case kCases[] = {
    // ---- IRQL ----------------------------------------------------------------------------
    {"WaitWithTimeOutAtDispatch",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         host::RaiseIrqlToDispatch();
         WaitForever(&event);
     },
     "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero time-out called at IRQL 2"},
    {"SpinLockHeldAcrossWait",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         WaitForever(&event);
     },
     "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject .* while holding spin lock"},
    {"PagedPoolAtDispatch",
     [] {
         host::RaiseIrqlToDispatch();
         ExAllocatePoolWithTag(PagedPool, 16, kTag);
     },
     "BAD_POOL_CALLER: ExAllocatePoolWithTag\\(PagedPool\\) at IRQL 2"},
    {"PageableCodeAtDispatch",
     [] {
         host::RaiseIrqlToDispatch();
         PAGED_CODE();
     },
     "DRIVER_IRQL_NOT_LESS_OR_EQUAL: pageable routine .* at IRQL 2"},
    {"CommandExchangeAtDispatch",
     [] {
         LowerDriver lower;
         UsbDevice usb{};
         usb.NextDeviceObject = lower.Device();
         host::RaiseIrqlToDispatch();
         SubmitUrb(&usb, nullptr);
     },
     "IRQL_NOT_LESS_OR_EQUAL: IoBuildDeviceIoControlRequest called at IRQL 2"},
    {"DeviceMutexAtDispatch",
     [] {
         PKSDEVICE device = TestDevice();
         host::RaiseIrqlToDispatch();
         KsAcquireDevice(device);
     },
     "IRQL_NOT_LESS_OR_EQUAL: KsAcquireDevice called at IRQL 2"},
    {"CompletionRoutineRunsAtDispatch",
     [] {
         Send(CompleteAtOnce, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, TRUE);
             WaitForever(&event);
             return STATUS_MORE_PROCESSING_REQUIRED;
         });
     },
     "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero time-out called at IRQL 2"},
    {"DispatchReturnsRaised",
     [] {
         Send([](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
             CompleteAtOnce(device, irp);
             host::RaiseIrqlToDispatch();
             return STATUS_SUCCESS;
         });
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: a dispatch routine entered at IRQL 0 returned at "
     "IRQL 2"},
    {"DispatchReturnsInsideCriticalRegion",
     [] {
         Send([](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
             KeEnterCriticalRegion();
             return CompleteAtOnce(device, irp);
         });
     },
     "APC_INDEX_MISMATCH: a dispatch routine returned with its mutexes or critical regions"},
    {"CompletionRoutineKeepsSpinLock",
     [] {
         Send(CompleteAtOnce, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
             static KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLockRaiseToDpc(&lock);
             return STATUS_MORE_PROCESSING_REQUIRED;
         });
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: a completion routine returned holding 1 spin lock"},
    {"CancelRoutineReturnsRaised",
     [] {
         PIRP irp = Send([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             IoMarkIrpPending(irp);
             IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
                 IoReleaseCancelSpinLock(irp->CancelIrql);
                 irp->IoStatus.Status = STATUS_CANCELLED;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 host::RaiseIrqlToDispatch();
             });
             return STATUS_PENDING;
         });
         IoCancelIrp(irp);
     },
     "IRQL_UNEXPECTED_VALUE: a cancel routine entered at IRQL 0 returned at IRQL 2"},

    // ---- Spin locks ----------------------------------------------------------------------
    {"SpinLockAcquiredTwice",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
     },
     "SPIN_LOCK_ALREADY_OWNED"},
    {"SpinLockReleasedByAnotherThread",
     [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         std::thread([] {
             host::RaiseIrqlToDispatch();
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         }).join();
     },
     "SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock of a spin lock the thread does not hold"},
    {"SpinLocksReleasedOutOfOrder",
     [] {
         KSPIN_LOCK first, second;
         KeInitializeSpinLock(&first);
         KeInitializeSpinLock(&second);
         KIRQL irql = KeAcquireSpinLockRaiseToDpc(&first);
         KeAcquireSpinLockRaiseToDpc(&second);
         KeReleaseSpinLock(&first, irql);
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: spin locks released out of order"},
    {"SpinLockReleasedToAnotherIrql",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: KeReleaseSpinLock to an IRQL other than"},

    // ---- Requests ------------------------------------------------------------------------
    {"CompletedWithPendingStatus",
     [] {
         Send([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IoCompleteRequest with STATUS_PENDING"},
    {"PendingReturnedUnmarked",
     [] {
         static PIRP held;
         Send([](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
             held = irp;
             return STATUS_PENDING;
         });
         CompleteAtOnce(nullptr, held);
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: a dispatch routine returned STATUS_PENDING without "
     "IoMarkIrpPending"},
    {"MarkedPendingButReturnedSuccess",
     [] {
         Send([](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
             IoMarkIrpPending(irp);
             return CompleteAtOnce(device, irp);
         });
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: a dispatch routine called IoMarkIrpPending and "
     "returned a status other than STATUS_PENDING"},
    {"ReturnedSuccessWithoutCompleting",
     [] { Send([](PDEVICE_OBJECT, PIRP) NTAPI -> NTSTATUS { return STATUS_SUCCESS; }); },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: .* neither completed nor saw completed"},
    {"PendingReturnedNotPropagated",
     [] {
         // A filter between the sender and a lower driver that pends: the filter's completion
         // routine lets the request go on up without marking its own location pending.
         static DRIVER_OBJECT lowerDriver{}, filterDriver{};
         static DEVICE_OBJECT lower{}, filter{};
         lowerDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp)
                                                                         NTAPI -> NTSTATUS {
             IoMarkIrpPending(irp);
             CompleteAtOnce(nullptr, irp);
             return STATUS_PENDING;
         };
         filterDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp)
                                                                          NTAPI -> NTSTATUS {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_SUCCESS; },
                 nullptr, TRUE, TRUE, TRUE);
             return IofCallDriver(&lower, irp);
         };
         lower = DEVICE_OBJECT{};
         lower.DriverObject = &lowerDriver;
         lower.StackSize = 1;
         filter.DriverObject = &filterDriver;
         filter.StackSize = 2;
         PIRP irp = IoAllocateIrp(2, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
         IofCallDriver(&filter, irp);
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: a completion routine let a pending request go on up "
     "without IoMarkIrpPending"},
    {"KeptRequestLeakedAtRemoval",
     [] {
         static LowerDriver lower;
         PKSDEVICE device = TestDevice(lower.Device());
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
         IofCallDriver(lower.Device(), irp);
         host::RemoveDevice(device);
     },
     "DRIVER_VERIFIER_IOMANAGER_VIOLATION: RemoveDevice with a request its completion routine "
     "kept"},

    // ---- Resources -----------------------------------------------------------------------
    {"ZeroByteAllocation", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag); },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: ExAllocatePoolWithTag of zero bytes"},
    {"ZeroTag", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0); },
     "BAD_POOL_CALLER: ExAllocatePoolWithTag with a tag of zero"},
    {"UnknownPoolType", [] { ExAllocatePoolWithTag(POOL_TYPE(7), 16, kTag); },
     "BAD_POOL_CALLER: ExAllocatePoolWithTag with an unknown pool type"},
    {"PagedPoolFreedAtDispatch",
     [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 16, kTag);
         host::RaiseIrqlToDispatch();
         ExFreePoolWithTag(p, kTag);
     },
     "BAD_POOL_CALLER: ExFreePool of paged pool above APC_LEVEL"},
    {"EventNeverInitialised",
     [] {
         KEVENT event;
         memset(&event, 0, sizeof(event));
         KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: KeSetEvent on an event never initialised"},
    {"EventCopiedAway",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         KEVENT copy = event;
         WaitPolled(&copy);
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: KeWaitForSingleObject on an object never initialised"},
    {"MdlForStackBuffer",
     [] {
         UCHAR buffer[64];
         MmBuildMdlForNonPagedPool(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr));
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: MmBuildMdlForNonPagedPool of a range that is not"},
    {"MdlPastItsPoolBlock",
     [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
         MmBuildMdlForNonPagedPool(IoAllocateMdl(p, 65, FALSE, FALSE, nullptr));
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: MmBuildMdlForNonPagedPool of a range that is not"},
    {"MdlForPagedPool",
     [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 64, kTag);
         MmBuildMdlForNonPagedPool(IoAllocateMdl(p, 64, FALSE, FALSE, nullptr));
     },
     "DRIVER_VERIFIER_DETECTED_VIOLATION: MmBuildMdlForNonPagedPool of a range that is not"},
    {"DeviceMutexReleasedByNonOwner", [] { KsReleaseDevice(TestDevice()); },
     "THREAD_NOT_MUTEX_OWNER: KsReleaseDevice by a thread that does not hold the device"},
    {"SystemThreadEndsHoldingDeviceMutex",
     [] {
         static PKSDEVICE device = TestDevice();
         OBJECT_ATTRIBUTES attributes;
         InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
         HANDLE handle;
         PsCreateSystemThread(
             &handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
             [](PVOID) NTAPI {
                 KsAcquireDevice(device);
                 PsTerminateSystemThread(STATUS_SUCCESS);
             },
             nullptr);
         std::this_thread::sleep_for(std::chrono::seconds(10));
     },
     "THREAD_TERMINATE_HELD_MUTEX: a system thread ended holding a mutex"},

    // ---- Raised by the driver ------------------------------------------------------------
    {"DriverRaisesBugCheck", [] { KeBugCheckEx(0xF7, 0x1234, 0xABC, ~ULONG_PTR(0xABC), 0); },
     "DRIVER_OVERRAN_STACK_BUFFER: KeBugCheckEx\\(0xF7, 0x1234, 0xABC, 0xFFFFFFFFFFFFF543, 0x0\\)"},
};

class VerifierDeathTest : public testing::TestWithParam<Case> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(VerifierDeathTest, WrongFragmentIsABugCheck) {
    EXPECT_DEATH(GetParam().fragment(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
