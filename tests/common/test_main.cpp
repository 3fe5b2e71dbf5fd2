// Test main shared by every test program: any test that leaves pool memory allocated fails,
// and pool faults armed by a test never leak into the next one.
#include <gtest/gtest.h>

#include "platform/host/host_control.h"

namespace {

class PoolLeakListener : public testing::EmptyTestEventListener {
    uint64_t start_ = 0;

    void OnTestStart(const testing::TestInfo&) override { start_ = host::PoolSequence(); }

    void OnTestEnd(const testing::TestInfo&) override {
        host::PoolClearFaults();
        host::RefuseBagItems(STATUS_SUCCESS, 0);
        std::string leaks = host::PoolLeaksSince(start_);
        if (!leaks.empty())
            ADD_FAILURE() << "pool memory left allocated by this test:\n" << leaks;
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new PoolLeakListener);
    return RUN_ALL_TESTS();
}
