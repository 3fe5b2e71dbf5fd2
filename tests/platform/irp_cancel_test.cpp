// Cancellation: IoCancelIrp takes the cancel routine with an interlocked exchange, so a
// request is ended exactly once whether its cancel or its completion wins the race.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/platform/lower_driver.h"

namespace {

constexpr ULONG kCode = IOCTL_INTERNAL_USB_SUBMIT_URB;

TEST(IrpCancel, ParkedRequestIsCancelledThroughItsRoutine) {
    LowerDriver lower;
    lower.SetMode(LowerDriver::Mode::kPark);
    OwnedRequest request(lower.Device()->StackSize);
    request.Prepare(kCode, nullptr);
    EXPECT_EQ(IofCallDriver(lower.Device(), request.irp), STATUS_PENDING);
    EXPECT_EQ(request.calls, 0);
    EXPECT_TRUE(IoCancelIrp(request.irp));
    EXPECT_EQ(lower.cancelRoutineCalls(), 1);
    EXPECT_EQ(request.calls, 1);
    EXPECT_EQ(request.status, STATUS_CANCELLED);
    EXPECT_TRUE(request.cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the cancel spin lock was given back
    // Cancelling again finds no routine.
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_EQ(lower.cancelRoutineCalls(), 1);
}

TEST(IrpCancel, RequestWithoutCancelRoutineIsOnlyMarked) {
    LowerDriver lower;
    lower.SetMode(LowerDriver::Mode::kCompleteLater);
    OwnedRequest request(lower.Device()->StackSize);
    request.Prepare(kCode, nullptr);
    EXPECT_EQ(IofCallDriver(lower.Device(), request.irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(request.irp));
    request.Wait();
    EXPECT_EQ(request.status, STATUS_SUCCESS);
}

TEST(IrpCancel, RequestCancelledBeforeItReachesTheDriverEndsAtOnce) {
    LowerDriver lower;
    lower.SetMode(LowerDriver::Mode::kPark);
    OwnedRequest request(lower.Device()->StackSize);
    request.Prepare(kCode, nullptr);
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_EQ(IofCallDriver(lower.Device(), request.irp), STATUS_PENDING);
    EXPECT_EQ(request.calls, 1);
    EXPECT_EQ(request.status, STATUS_CANCELLED);
    EXPECT_EQ(lower.ParkedCount(), 0u);
}

TEST(IrpCancel, CancelAndCompletionRaceEndsEachRequestExactlyOnce) {
    LowerDriver lower;
    lower.SetMode(LowerDriver::Mode::kPark);
    int cancelled = 0;
    int completed = 0;
    for (int i = 0; i < 3000; ++i) {
        OwnedRequest request(lower.Device()->StackSize);
        request.Prepare(kCode, nullptr);
        ASSERT_EQ(IofCallDriver(lower.Device(), request.irp), STATUS_PENDING);
        std::atomic<bool> go{false};
        bool completer = false;
        std::thread other([&] {
            while (!go.load()) {
            }
            completer = lower.CompleteParked();
        });
        go.store(true);
        BOOLEAN cancel = IoCancelIrp(request.irp);
        other.join();
        request.Wait();
        ASSERT_EQ(request.calls, 1);
        // Exactly one side ended it, and the status says which.
        ASSERT_NE(bool(cancel) && request.status == STATUS_CANCELLED, completer);
        if (request.status == STATUS_CANCELLED)
            ++cancelled;
        else
            ++completed;
        ASSERT_EQ(lower.ParkedCount(), 0u);
    }
    EXPECT_EQ(cancelled + completed, 3000);
    EXPECT_EQ(lower.cancelRoutineCalls(), cancelled);
}

}  // namespace
