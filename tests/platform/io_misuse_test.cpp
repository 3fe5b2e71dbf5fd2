// Misuse of the I/O manager that Windows answers with a bug check stops the host too, with
// a message that names the mistake.
#include <gtest/gtest.h>

#include "tests/platform/lower_driver.h"

namespace {

constexpr ULONG kCode = IOCTL_INTERNAL_USB_SUBMIT_URB;

class IoMisuseDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Sends one driver-allocated request to a device whose driver answers with `dispatch`, and
// returns the request (still owned by the caller) for whatever the test does next.
PIRP SendToDriver(PDRIVER_DISPATCH dispatch) {
    static DRIVER_OBJECT driver{};
    static DEVICE_OBJECT device{};
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    device.DriverObject = &driver;
    device.StackSize = 1;
    auto* request = new OwnedRequest(1);  // the death test's process ends with it
    request->Prepare(kCode, nullptr);
    IofCallDriver(&device, request->irp);
    return request->irp;
}

TEST_F(IoMisuseDeathTest, FreeingARequestALowerDriverStillHolds) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            lower.SetMode(LowerDriver::Mode::kPark);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(lower.Device(), irp);
            IoSetCancelRoutine(irp, nullptr);
            IoFreeIrp(irp);
        },
        "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IoFreeIrp of a request a lower driver still holds");
}

TEST_F(IoMisuseDeathTest, CompletingTwice) {
    struct Twice {
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    EXPECT_DEATH({ SendToDriver(Twice::Dispatch); },
                 "MULTIPLE_IRP_COMPLETE_REQUESTS: IoCompleteRequest of a request no driver holds");
}

TEST_F(IoMisuseDeathTest, CallingDownWithNoStackLocationLeft) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            IofCallDriver(lower.Device(), irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(IoMisuseDeathTest, OwnedRequestCompletedPastItsTop) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(lower.Device(), irp);
        },
        "must return STATUS_MORE_PROCESSING_REQUIRED");
}

TEST_F(IoMisuseDeathTest, CompletingWithTheCancelRoutineStillSet) {
    struct Careless {
        static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP) {}
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
            IoSetCancelRoutine(irp, Cancel);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    EXPECT_DEATH({ SendToDriver(Careless::Dispatch); }, "still has a cancel routine");
}

TEST_F(IoMisuseDeathTest, CancelRoutineThatKeepsTheCancelLock) {
    struct Forgetful {
        static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, Cancel);
            return STATUS_PENDING;
        }
    };
    EXPECT_DEATH({ IoCancelIrp(SendToDriver(Forgetful::Dispatch)); },
                 "without IoReleaseCancelSpinLock");
}

TEST_F(IoMisuseDeathTest, FreeingARequestTheIoManagerOwns) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK ioStatus;
            PIRP irp = IoBuildDeviceIoControlRequest(kCode, lower.Device(), nullptr, 0, nullptr, 0,
                                                     TRUE, &event, &ioStatus);
            IoFreeIrp(irp);
        },
        "built by IoBuildDeviceIoControlRequest");
}

TEST_F(IoMisuseDeathTest, BuildingASynchronousRequestAtDispatchLevel) {
    EXPECT_DEATH(
        {
            LowerDriver lower;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK ioStatus;
            host::RaiseIrqlToDispatch();
            IoBuildDeviceIoControlRequest(kCode, lower.Device(), nullptr, 0, nullptr, 0, TRUE,
                                          &event, &ioStatus);
        },
        "IRQL_NOT_LESS_OR_EQUAL: IoBuildDeviceIoControlRequest");
}

}  // namespace
