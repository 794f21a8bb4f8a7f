// System clock as file-time ticks: 100 ns units since 1601-01-01 UTC, and the monotonic clock for waits.
#pragma once

#include <cstdint>

inline constexpr uint64_t kTicksPerSecond = 10000000ULL;
// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kUnixEpochSeconds = 11644473600ULL;

uint64_t NowFileTime();

// A monotonic clock in nanoseconds, for measuring, never for instants.
uint64_t MonotonicNanos();
// A span of that clock in whole milliseconds, rounded up, so a wait of that
// many never wakes before the span is over.
inline constexpr uint64_t NanosToMsRoundedUp(uint64_t ns) { return (ns + 999999) / 1000000; }
