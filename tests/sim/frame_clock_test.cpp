// The frame clock's slot arithmetic, on made-up times: slots at fixed distances from the
// start, none handed out twice, missed ones skipped rather than caught up.
#include <gtest/gtest.h>

#include "sim/sim_camera.h"

namespace {

TEST(FrameClock, SlotsLieOnTheGridFromTheStart) {
    sim::FrameClock clock(1000, sim::kFramePeriod);
    uint64_t index = 99;
    EXPECT_EQ(clock.NextSlot(1000, &index), 1000);  // exactly at a slot: that slot
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(clock.NextSlot(1001, &index), 1000 + sim::kFramePeriod);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(clock.NextSlot(1000 + sim::kFramePeriod + 5, &index), 1000 + 2 * sim::kFramePeriod);
    EXPECT_EQ(index, 2u);
}

TEST(FrameClock, ASlotIsNeverHandedOutTwice) {
    sim::FrameClock clock(0, 100);
    uint64_t index;
    EXPECT_EQ(clock.NextSlot(0, &index), 0);
    // Asked again at the same time (a quick second stream-on): the next slot.
    EXPECT_EQ(clock.NextSlot(0, &index), 100);
    EXPECT_EQ(clock.NextSlot(10, &index), 200);
    EXPECT_EQ(index, 2u);
}

TEST(FrameClock, MissedSlotsAreSkippedNotCaughtUp) {
    sim::FrameClock clock(0, 100);
    uint64_t index;
    clock.NextSlot(0, &index);
    // A slow reader comes back much later: the frame waits for the next slot after now,
    // the deadlines stay on the grid and do not drift by the time the reader took.
    EXPECT_EQ(clock.NextSlot(1050, &index), 1100);
    EXPECT_EQ(index, 11u);
    EXPECT_EQ(clock.NextSlot(1100, &index), 1200);
}

TEST(FrameClock, TimesBeforeTheStartGetTheFirstSlot) {
    sim::FrameClock clock(5000, 100);
    uint64_t index;
    EXPECT_EQ(clock.NextSlot(-7, &index), 5000);
    EXPECT_EQ(index, 0u);
}

}  // namespace
