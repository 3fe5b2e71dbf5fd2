// Test main shared by every test program: any test that leaves pool memory allocated, a
// registry key open, or a system thread running, unclosed or still referenced fails, and
// faults armed by a test never leak into the next one, which also starts from an empty
// registry.
#include <gtest/gtest.h>

#include "platform/host/host_control.h"

namespace {

class PoolLeakListener : public testing::EmptyTestEventListener {
    uint64_t start_ = 0;
    size_t keysAtStart_ = 0;
    uint64_t threadsAtStart_ = 0;

    void OnTestStart(const testing::TestInfo&) override {
        start_ = host::PoolSequence();
        keysAtStart_ = host::RegistryOpenHandles();
        threadsAtStart_ = host::ThreadSequence();
    }

    void OnTestEnd(const testing::TestInfo&) override {
        host::PoolClearFaults();
        host::RefuseBagItems(STATUS_SUCCESS, 0);
        host::FailThreadCreation(STATUS_SUCCESS);
        // First, as a thread that is about to end still holds its object in the pool. A
        // thread told to stop gets a short while to do so before it counts as left running.
        std::string threads = host::ThreadLeaksSince(threadsAtStart_, 500);
        if (!threads.empty())
            ADD_FAILURE() << "system threads left behind by this test:\n" << threads;
        std::string leaks = host::PoolLeaksSince(start_);
        if (!leaks.empty())
            ADD_FAILURE() << "pool memory left allocated by this test:\n" << leaks;
        size_t keys = host::RegistryOpenHandles();
        if (keys > keysAtStart_)
            ADD_FAILURE() << keys - keysAtStart_
                          << " registry key handle(s) left open by this test";
        host::RegistryReset();
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new PoolLeakListener);
    return RUN_ALL_TESTS();
}
