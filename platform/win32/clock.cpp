// The clock on Windows: GetSystemTimeAsFileTime, already in file-time ticks.
#include "clock.h"

#include <windows.h>

uint64_t NowFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

uint64_t MonotonicNanos() {
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart / freq.QuadPart) * 1000000000ULL +
           static_cast<uint64_t>(now.QuadPart % freq.QuadPart) * 1000000000ULL / static_cast<uint64_t>(freq.QuadPart);
}
