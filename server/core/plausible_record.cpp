// The plausibility rule of status records.
#include "plausible_record.h"

namespace {

bool PlausibleInstant(uint64_t instant, uint64_t now) {
    return instant >= kEarliestPlausibleTicks && instant <= now + kPlausibleClockLeadTicks;
}

}  // namespace

bool IsPlausibleRecord(const StatusRecord &r, uint64_t now) {
    if (r.cpuIndex < 0) return false;
    if (r.elapsedTime < 0 || r.lastPassTime < 0 || r.recentPassTime < 0 || r.averagePassTime < 0 ||
        r.averageFrameTime < 0)
        return false;
    if (r.passesDone > 0 && r.elapsedTime == 0) return false;
    if (r.totalPasses > 0 && uint64_t{r.passesDone} > 2 * uint64_t{r.totalPasses}) return false;
    return PlausibleInstant(r.startTime, now) && PlausibleInstant(r.passStartTime, now);
}
