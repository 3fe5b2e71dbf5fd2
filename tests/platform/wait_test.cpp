// Waits with relative time-outs, as the frame read and the command pause use them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/host/host_control.h"

namespace {

TEST(Wait, RelativeTimeOutOnAnUnsignalledEventReportsTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000LL;  // 20 ms
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    // Not a speed check: the wait must not end before its time.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(Wait, ZeroTimeOutPollsAndSignalledEventReturnsAtOnce) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    LARGE_INTEGER hour;
    hour.QuadPart = -36000000000LL;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &hour), STATUS_SUCCESS);
}

TEST(Wait, SignalFromAnotherThreadEndsAWaitWithTimeOut) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread signaller([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -600000000LL;  // a minute: only the signal can end it in time
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    signaller.join();
}

TEST(Wait, VeryLongRelativeTimeOutIsStillAWait) {
    // A 64-bit interval far beyond any clock's range waits like no time-out at all.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(int64_t(1) << 62);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    signaller.join();
}

}  // namespace
