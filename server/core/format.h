// Durations, rates and instants as the texts the server shows, shaped by MaxScale and Resolution.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kFormatBufferSize = 260;

// ticks: signed 100 ns units. Writes a NUL-terminated text into text[260].
void FormatDuration(int64_t ticks, char *text);
// value: a rate per hour. "-" when not finite or out of range.
void FormatRate(double value, char *text);
// instant: file-time ticks (UTC), or nullptr for now; shown in local time
// in the user's locale formats (platform/locale_time.h).
void FormatDateTime(const uint64_t *instant, char *text, size_t capacity);
