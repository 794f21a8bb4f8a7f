// The pacing rule of ends of batches, shared by the Linux loop and the Windows window.
#include "batch_pacing.h"

#include "clock.h"

#include <algorithm>

uint64_t FinishGap(uint64_t costNs) {
    const uint64_t toCycle = costNs < kFinishCycleNs ? kFinishCycleNs - costNs : 0;
    return std::max(costNs, std::min(std::max(3 * costNs, kMinFinishGapNs), toCycle));
}

int64_t FinishDueInMs(const BatchPacing &pacing, uint64_t nowNs) {
    if (!pacing.pending) return -1;
    if (nowNs >= pacing.nextFinish) return 0;
    return static_cast<int64_t>(NanosToMsRoundedUp(pacing.nextFinish - nowNs));
}

void BatchFinished(BatchPacing &pacing, uint64_t startNs, uint64_t endNs) {
    pacing.pending = false;
    const uint64_t cost = endNs > startNs ? endNs - startNs : 0;
    pacing.nextFinish = endNs + FinishGap(cost);
}
