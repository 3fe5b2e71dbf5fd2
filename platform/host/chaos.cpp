// Chaos for race tests: random small delays where a completion routine signals, which is where
// a reader that does not wait for the signal would run ahead of it, and where a Process pass
// has just locked a frame, which is where a state change could overtake it.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "platform/host/host_control.h"

namespace host {
namespace {

std::atomic<uint32_t> dispatchDelayMicroseconds{0};
std::atomic<uint32_t> lockedFrameDelayMicroseconds{0};

void SleepUpTo(uint32_t most) {
    thread_local std::minstd_rand random(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (most + 1)));
}

}  // namespace

void SetDispatchEventDelay(uint32_t maxMicroseconds) {
    dispatchDelayMicroseconds = maxMicroseconds;
}

void DelayAtDispatch() {
    uint32_t most = dispatchDelayMicroseconds;
    if (most == 0 || KeGetCurrentIrql() < DISPATCH_LEVEL)
        return;
    SleepUpTo(most);
}

void SetLockedFrameDelay(uint32_t maxMicroseconds) {
    lockedFrameDelayMicroseconds = maxMicroseconds;
}

void DelayAfterFrameLock() {
    if (uint32_t most = lockedFrameDelayMicroseconds)
        SleepUpTo(most);
}

}  // namespace host
