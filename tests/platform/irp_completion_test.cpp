// Completion of I/O requests as the Windows I/O manager does it: synchronous and pending
// completion of requests built for a waiting caller, completion routines and their control
// flags, STATUS_MORE_PROCESSING_REQUIRED, and the stack walk between drivers.
#include <gtest/gtest.h>

#include <vector>

#include "tests/platform/lower_driver.h"

namespace {

constexpr ULONG kCode = IOCTL_INTERNAL_USB_SUBMIT_URB;

// Sends a request built by IoBuildDeviceIoControlRequest and waits as a driver must.
struct SynchronousCall {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS returned = STATUS_SUCCESS;
};

NTSTATUS Call(PDEVICE_OBJECT device, PVOID argument, SynchronousCall* call) {
    KeInitializeEvent(&call->event, NotificationEvent, FALSE);
    call->ioStatus.Status = STATUS_UNSUCCESSFUL;
    call->ioStatus.Information = 99;
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, TRUE,
                                             &call->event, &call->ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    call->returned = IofCallDriver(device, irp);
    if (call->returned == STATUS_PENDING) {
        KeWaitForSingleObject(&call->event, Executive, KernelMode, FALSE, nullptr);
        return call->ioStatus.Status;
    }
    return call->returned;
}

TEST(IrpCompletion, BuiltRequestCompletedAtOnceSetsStatusEventAndIsFreed) {
    LowerDriver lower;
    lower.SetResult(STATUS_BUFFER_OVERFLOW, 7);  // a warning is no error
    int argument = 0;
    SynchronousCall call;
    EXPECT_EQ(Call(lower.Device(), &argument, &call), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(call.returned, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(call.ioStatus.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(call.ioStatus.Information, 7u);
    EXPECT_EQ(KeReadStateEvent(&call.event), 1);
    EXPECT_EQ(lower.lastMajor, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(lower.lastIoControlCode, kCode);
    EXPECT_EQ(lower.lastArgument1, &argument);
    EXPECT_EQ(lower.lastDeviceObject, lower.Device());
    EXPECT_EQ(host::PoolLiveCount(host::kIrpPoolTag), 0u);
}

TEST(IrpCompletion, BuiltRequestCompletedLaterOnAnotherThread) {
    LowerDriver lower;
    lower.SetMode(LowerDriver::Mode::kCompleteLater);
    lower.SetResult(STATUS_SUCCESS, 64);
    for (int i = 0; i < 200; ++i) {
        SynchronousCall call;
        ASSERT_EQ(Call(lower.Device(), nullptr, &call), STATUS_SUCCESS);
        EXPECT_EQ(call.returned, STATUS_PENDING);
        EXPECT_EQ(call.ioStatus.Information, 64u);
    }
    EXPECT_EQ(host::PoolLiveCount(host::kIrpPoolTag), 0u);
}

// An error returned without pending reaches the caller only as IofCallDriver's status: the
// I/O manager writes neither the status block nor the event, pending or not pended alike for
// a device without a handler.
TEST(IrpCompletion, BuiltRequestFailedAtOnceLeavesStatusBlockAndEventAlone) {
    LowerDriver lower;
    lower.SetResult(STATUS_BUFFER_TOO_SMALL, 7);
    DEVICE_OBJECT bare{};
    bare.StackSize = 1;
    for (PDEVICE_OBJECT device : {lower.Device(), &bare}) {
        SynchronousCall call;
        EXPECT_TRUE(NT_ERROR(Call(device, nullptr, &call)));
        EXPECT_EQ(call.ioStatus.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(call.ioStatus.Information, 99u);
        EXPECT_EQ(KeReadStateEvent(&call.event), 0);
    }
    EXPECT_EQ(host::PoolLiveCount(host::kIrpPoolTag), 0u);
}

TEST(IrpCompletion, BufferedRequestCarriesInputDownAndOutputBack) {
    LowerDriver lower;
    lower.SetResult(STATUS_SUCCESS, 3);
    // The lower driver answers in the system buffer; the caller sees it in its output.
    struct Echo {
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
            auto* system = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 2u);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 4u);
            system[0] = UCHAR(system[0] + system[1]);
            system[1] = 0x55;
            system[2] = 0x66;
            system[3] = 0x77;  // beyond Information: not copied back
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 3;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    DRIVER_OBJECT driver{};
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo::Dispatch;
    DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    UCHAR input[2] = {5, 6};
    UCHAR output[4] = {0, 0, 0, 0};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP irp =
        IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0), &device,
                                      input, 2, output, 4, FALSE, &event, &ioStatus);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(&device, irp), STATUS_SUCCESS);
    EXPECT_EQ(output[0], 11);
    EXPECT_EQ(output[1], 0x55);
    EXPECT_EQ(output[2], 0x66);
    EXPECT_EQ(output[3], 0);
    EXPECT_EQ(input[0], 5);
    EXPECT_EQ(host::PoolLiveCount(host::kIoBufferPoolTag), 0u);
}

TEST(IrpCompletion, NeitherMethodPassesTheCallersBuffersThrough) {
    LowerDriver lower;
    UCHAR input[4];
    UCHAR output[8];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, lower.Device(), input, 4, output, 8, TRUE,
                                             &event, &ioStatus);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
    EXPECT_EQ(irp->UserBuffer, output);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_EQ(IofCallDriver(lower.Device(), irp), STATUS_SUCCESS);
}

TEST(IrpCompletion, PendingReturnedTellsTheCompletionRoutineHowTheRequestEnded) {
    LowerDriver lower;
    OwnedRequest now(lower.Device()->StackSize);
    now.Prepare(kCode, nullptr);
    EXPECT_EQ(IofCallDriver(lower.Device(), now.irp), STATUS_SUCCESS);
    EXPECT_EQ(now.calls, 1);
    EXPECT_FALSE(now.pendingReturned);
    EXPECT_EQ(now.device, nullptr);  // the top of the stack has no device of its own
    EXPECT_EQ(host::IrpOutstanding(now.irp), 0);

    lower.SetMode(LowerDriver::Mode::kCompleteLater);
    OwnedRequest later(lower.Device()->StackSize);
    later.Prepare(kCode, nullptr);
    EXPECT_EQ(IofCallDriver(lower.Device(), later.irp), STATUS_PENDING);
    later.Wait();
    EXPECT_EQ(later.calls, 1);
    EXPECT_TRUE(later.pendingReturned);
}

TEST(IrpCompletion, AnOwnedRequestCanBeSentAgainAfterItsRoutineKeptIt) {
    LowerDriver lower;
    OwnedRequest request(lower.Device()->StackSize);
    for (int i = 0; i < 3; ++i) {
        request.Prepare(kCode, nullptr);
        lower.SetResult(i == 1 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(IofCallDriver(lower.Device(), request.irp),
                  i == 1 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(request.calls, i + 1);
    }
}

// A filter between the owner and the lower driver, whose completion routine carries the
// control flags under test and whose result decides whether completion goes on.
struct Filter {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    PDEVICE_OBJECT lower = nullptr;
    UCHAR control = 0;
    NTSTATUS routineResult = STATUS_SUCCESS;
    int calls = 0;
    PDEVICE_OBJECT seenDevice = nullptr;
    PIRP kept = nullptr;

    explicit Filter(PDEVICE_OBJECT below) : lower(below) {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        device.DriverObject = &driver;
        device.StackSize = CCHAR(below->StackSize + 1);
        device.DeviceExtension = this;
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto* self = static_cast<Filter*>(device->DeviceExtension);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Completed, self, (self->control & SL_INVOKE_ON_SUCCESS) != 0,
                               (self->control & SL_INVOKE_ON_ERROR) != 0,
                               (self->control & SL_INVOKE_ON_CANCEL) != 0);
        if (self->routineResult != STATUS_MORE_PROCESSING_REQUIRED)
            return IofCallDriver(self->lower, irp);
        // The filter keeps the request past its routine and completes it later: pending.
        IoMarkIrpPending(irp);
        IofCallDriver(self->lower, irp);
        return STATUS_PENDING;
    }
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
        auto* self = static_cast<Filter*>(context);
        ++self->calls;
        self->seenDevice = device;
        if (self->routineResult == STATUS_MORE_PROCESSING_REQUIRED)
            self->kept = irp;
        else if (irp->PendingReturned)
            IoMarkIrpPending(irp);  // the request goes on up: its pending state goes with it
        return self->routineResult;
    }
};

struct FlagCase {
    NTSTATUS status;
    bool cancelled;
    UCHAR control;
    bool called;
};

TEST(IrpCompletion, CompletionRoutineRunsOnlyForTheOutcomesItsFlagsName) {
    const FlagCase cases[] = {
        {STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS, true},
        {STATUS_SUCCESS, false, SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, false},
        {STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR, true},
        {STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_SUCCESS, false},
        {STATUS_CANCELLED, true, SL_INVOKE_ON_CANCEL, true},
        {STATUS_CANCELLED, true, SL_INVOKE_ON_SUCCESS, false},
        {STATUS_CANCELLED, true, SL_INVOKE_ON_ERROR, true},
        {STATUS_TIMEOUT, false, SL_INVOKE_ON_SUCCESS, true},        // a success code
        {STATUS_BUFFER_OVERFLOW, false, SL_INVOKE_ON_ERROR, true},  // a warning is no success
        {STATUS_SUCCESS, false, 0, false},
    };
    for (const FlagCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "status " << c.status << " control " << int(c.control));
        LowerDriver lower;
        lower.SetMode(c.cancelled ? LowerDriver::Mode::kPark : LowerDriver::Mode::kCompleteNow);
        lower.SetResult(c.status);
        Filter filter(lower.Device());
        filter.control = c.control;
        OwnedRequest request(filter.device.StackSize);
        request.Prepare(kCode, nullptr);
        NTSTATUS returned = IofCallDriver(&filter.device, request.irp);
        if (c.cancelled) {
            EXPECT_EQ(returned, STATUS_PENDING);
            EXPECT_TRUE(IoCancelIrp(request.irp));
        }
        EXPECT_EQ(filter.calls, c.called ? 1 : 0);
        if (c.called) {
            EXPECT_EQ(filter.seenDevice, &filter.device);
        }
        EXPECT_EQ(request.calls, 1);
        EXPECT_EQ(request.status, c.status);
        EXPECT_EQ(request.cancel, c.cancelled);
    }
}

TEST(IrpCompletion, MoreProcessingRequiredStopsCompletionUntilTheFilterCompletesAgain) {
    LowerDriver lower;
    lower.SetResult(STATUS_UNSUCCESSFUL);
    Filter filter(lower.Device());
    filter.control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    filter.routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    OwnedRequest request(filter.device.StackSize);
    request.Prepare(kCode, nullptr);
    IofCallDriver(&filter.device, request.irp);
    EXPECT_EQ(filter.calls, 1);
    EXPECT_EQ(request.calls, 0);
    ASSERT_EQ(filter.kept, request.irp);
    EXPECT_EQ(host::IrpOutstanding(request.irp), 1);  // the filter still holds it
    // The filter finishes its own work and completes the request up the stack.
    filter.kept->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(filter.kept, IO_NO_INCREMENT);
    EXPECT_EQ(request.calls, 1);
    EXPECT_EQ(request.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::IrpOutstanding(request.irp), 0);
}

TEST(IrpCompletion, PoolRefusalsReachTheCaller) {
    LowerDriver lower;
    host::PoolFailTag(host::kIrpPoolTag);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kCode, lower.Device(), nullptr, 0, nullptr, 0, TRUE,
                                            &event, &ioStatus),
              nullptr);
    host::PoolClearFaults();
    // A buffered request whose system buffer is refused gives nothing and leaks nothing.
    host::PoolFailTag(host::kIoBufferPoolTag);
    UCHAR input[8] = {};
    EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                            lower.Device(), input, 8, nullptr, 0, TRUE, &event,
                                            &ioStatus),
              nullptr);
    host::PoolClearFaults();
    uint64_t before = host::PoolSequence();
    host::PoolFailNth(1);
    EXPECT_EQ(IoAllocateMdl(input, 8, FALSE, FALSE, nullptr), nullptr);
    EXPECT_GT(host::PoolRefusedCount(), 0u);
    EXPECT_EQ(host::PoolLeaksSince(before), "");
}

}  // namespace
