// The push loop's deadline grid.
#include "FramePacer.h"

#include <gtest/gtest.h>

namespace kova::client::test {
namespace {

TEST(FramePacer, DeadlinesStayOnTheGridOfTheStartAndALateCallerSkipsOnlyWhatItMissed) {
    // A caller that always wakes at its deadline: after 5983 frames at 59.83 fps exactly 100 s
    // have passed, although no period is a whole number of nanoseconds.
    FramePacer drifting(59.83);
    std::uint64_t now = 1'000'000'000;
    for (int frame = 1; frame <= 5983; ++frame) now = drifting.nextDeadline(now);
    EXPECT_EQ(now, 101'000'000'000u);

    FramePacer pacer(100);  // 10 ms
    EXPECT_EQ(pacer.nextDeadline(0), 10'000'000u);
    // Woke 4 ms late: the next slot is still the next one on the grid.
    EXPECT_EQ(pacer.nextDeadline(14'000'000), 20'000'000u);
    // Late by less than a period: its slot, already past, so no sleep.
    EXPECT_EQ(pacer.nextDeadline(31'000'000), 30'000'000u);
    EXPECT_EQ(pacer.nextDeadline(38'000'000), 40'000'000u);
    // Stalled for several periods: no burst of catch-up frames, the next slot ahead instead.
    EXPECT_EQ(pacer.nextDeadline(93'000'000), 100'000'000u);
    // Exactly on a slot boundary after a stall: that slot is gone, the next one is due.
    EXPECT_EQ(pacer.nextDeadline(150'000'000), 160'000'000u);
}

}  // namespace
}  // namespace kova::client::test
