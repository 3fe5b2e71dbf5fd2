// Test main shared by every test program: any test that leaves pool memory allocated or a
// registry key open fails, and faults armed by a test never leak into the next one, which
// also starts from an empty registry.
#include <gtest/gtest.h>

#include "platform/host/host_control.h"

namespace {

class PoolLeakListener : public testing::EmptyTestEventListener {
    uint64_t start_ = 0;
    size_t keysAtStart_ = 0;

    void OnTestStart(const testing::TestInfo&) override {
        start_ = host::PoolSequence();
        keysAtStart_ = host::RegistryOpenHandles();
    }

    void OnTestEnd(const testing::TestInfo&) override {
        host::PoolClearFaults();
        host::RefuseBagItems(STATUS_SUCCESS, 0);
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
