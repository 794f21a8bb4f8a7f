// Whether a status record can be true: the rule the state kept across messages (the run history) applies to what it takes in.
#pragma once

#include "status_record.h"

#include <cstdint>

// 2000-01-01 00:00 UTC in file-time ticks: no render started before it.
inline constexpr uint64_t kEarliestPlausibleTicks = 125911584000000000ULL;
// How far ahead of the server's clock a plug-in's clock may run.
inline constexpr uint64_t kPlausibleClockLeadTicks = 24ULL * 3600 * 10000000ULL;

// A record that cannot be true: a negative CPU index; a negative duration, or
// passes counted in no time at all; more than twice the job's total passes
// done by one CPU; a start or pass start before 2000 or more than a day after
// now (file time). The live report shows such records as they come; what
// keeps state across messages leaves them out.
bool IsPlausibleRecord(const StatusRecord &record, uint64_t nowFileTime);
