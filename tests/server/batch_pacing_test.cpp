// Tests of the pacing rule of ends of batches: the gap after each cost, and that refreshes follow the pacing, not the number of events.
#include "batch_pacing.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMs = 1000000;

TEST(BatchPacing, GapAfterAnEndOfBatchOfEachCost) {
    struct Case {
        uint64_t cost, gap;
    } cases[] = {
        {0, 20 * kMs},          // cheap: the smallest gap
        {5 * kMs, 20 * kMs},    // three times the cost is still below it
        {10 * kMs, 30 * kMs},   // a quarter of the time
        {40 * kMs, 60 * kMs},   // half of it, to refresh every cycle
        {60 * kMs, 60 * kMs},   // never less than the cost
        {200 * kMs, 200 * kMs}, // slower than a cycle: the cost
    };
    for (const Case &c : cases) EXPECT_EQ(FinishGap(c.cost), c.gap) << "cost " << c.cost;
}

TEST(BatchPacing, DueOnlyWithEventsAndAfterTheGap) {
    BatchPacing p;
    EXPECT_EQ(FinishDueInMs(p, 0), -1) << "nothing owed";
    BatchEvents(p);
    EXPECT_EQ(FinishDueInMs(p, 5 * kMs), 0) << "the first events after a quiet spell end at once";
    BatchFinished(p, 5 * kMs, 7 * kMs);  // 2 ms cost: next at 27 ms
    EXPECT_EQ(FinishDueInMs(p, 8 * kMs), -1);
    BatchEvents(p);
    EXPECT_EQ(FinishDueInMs(p, 8 * kMs), 19);
    EXPECT_EQ(FinishDueInMs(p, 26 * kMs + 1), 1) << "rounded up, never early";
    EXPECT_EQ(FinishDueInMs(p, 27 * kMs), 0);
}

// A front end under a flood: one event every 100 microseconds for 10 s, each
// end of batch costing 3 ms. The count of ends of batches is set by the
// gaps, not by the 100,000 events.
TEST(BatchPacing, RefreshesFollowThePacingNotTheEvents) {
    BatchPacing p;
    uint64_t now = 0, finishes = 0, events = 0;
    const uint64_t end = 10000 * kMs;
    for (; now < end; now += 100000) {
        BatchEvents(p);
        ++events;
        if (FinishDueInMs(p, now) == 0) {
            BatchFinished(p, now, now + 3 * kMs);
            now += 3 * kMs;
            ++finishes;
        }
    }
    // Each cycle: 3 ms of work, 20 ms of gap, then the next event.
    EXPECT_GE(finishes, end / (24 * kMs)) << events << " events";
    EXPECT_LE(finishes, end / (23 * kMs) + 1) << events << " events";
}

}  // namespace
