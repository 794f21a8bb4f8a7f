// The clock on POSIX: CLOCK_REALTIME converted to file-time ticks.
#include "clock.h"

#include <time.h>

uint64_t NowFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

uint64_t MonotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}
