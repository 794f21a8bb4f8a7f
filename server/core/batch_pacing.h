// When the end of a batch of socket events (prune and refresh) runs while events keep coming: the one rule of both front ends.
#pragma once

#include <cstdint>

// While events keep coming, ends of batches come at most every
// kMinFinishGapNs, which is quicker than anyone reads the report, and take
// at most a quarter of the time, or up to half of it where that is what it
// takes to refresh every kFinishCycleNs. The first events after a quiet
// spell are finished at once.
inline constexpr uint64_t kMinFinishGapNs = 20000000;
inline constexpr uint64_t kFinishCycleNs = 100000000;

// The pause after an end of batch that took costNs nanoseconds.
uint64_t FinishGap(uint64_t costNs);

// One front end's pacing state, on its core thread. Instants are monotonic
// nanoseconds (MonotonicNanos), injected so tests are exact.
struct BatchPacing {
    bool pending = false;     // socket events since the last end of a batch
    uint64_t nextFinish = 0;  // the earliest instant of the next end of a batch
};

// Socket events arrived: an end of batch is now owed.
inline void BatchEvents(BatchPacing &pacing) { pacing.pending = true; }

// Milliseconds until the owed end of batch is due (0: now), or -1 when none is owed.
int64_t FinishDueInMs(const BatchPacing &pacing, uint64_t nowNs);

// Records an end of batch that ran from startNs to endNs.
void BatchFinished(BatchPacing &pacing, uint64_t startNs, uint64_t endNs);
