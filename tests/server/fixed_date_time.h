// A fixed, zone- and locale-free date-time writer for exact report texts in tests.
#pragma once

#include "format.h"

#include <cstdint>
#include <cstdio>

// UTC as "M/D/YYYY H:MM:SS AM", so the fragments do not depend on the machine's zone and locale.
inline int FixedDateTime(const uint64_t *instant, char *text, size_t capacity) {
    if (!instant) return 0;
    const UtcFields u = UtcFieldsOf(*instant);
    const int64_t hour12 = u.hour % 12 == 0 ? 12 : u.hour % 12;
    const int n = std::snprintf(text, capacity, "%d/%d/%d %d:%02d:%02d %s", static_cast<int>(u.month),
                                static_cast<int>(u.day), static_cast<int>(u.year), static_cast<int>(hour12),
                                static_cast<int>(u.minute), static_cast<int>(u.second), u.hour < 12 ? "AM" : "PM");
    return n > 0 && static_cast<size_t>(n) < capacity;
}

// Puts a date-time writer in place for a scope.
struct WriterGuard {
    DateTimeWriter saved = g_dateTimeWriter;
    explicit WriterGuard(DateTimeWriter w) { g_dateTimeWriter = w; }
    ~WriterGuard() { g_dateTimeWriter = saved; }
};
