// Durations, rates and instants as the texts the server shows, shaped by MaxScale and Resolution.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kFormatBufferSize = 260;

// ticks: signed 100 ns units. Writes a NUL-terminated text into text[260],
// e.g. "3 days, 5:23:47.1234"; a negative count reads with one leading minus.
void FormatDuration(int64_t ticks, char *text);
// value: a rate per hour, truncated (not rounded) to Resolution decimals.
// "-" when not finite or when value x 10^Resolution does not fit 64 bits.
void FormatRate(double value, char *text);
// instant: file-time ticks (UTC), or nullptr for now; shown in local time
// in the user's locale formats (platform/locale_time.h). "-" when the
// instant cannot be shown (beyond the platform's calendar).
void FormatDateTime(const uint64_t *instant, char *text, size_t capacity);

// The locale part of FormatDateTime: writes date, space, time and returns 1,
// or 0 when it could not. LocalDateTimeText by default; tests put a fixed
// one in place so that report texts are exact.
using DateTimeWriter = int (*)(const uint64_t *instant, char *text, size_t capacity);
extern DateTimeWriter g_dateTimeWriter;

// An instant's calendar fields in UTC (proleptic Gregorian), for texts that
// must not depend on the machine's zone or locale (ISO 8601, test fixtures).
struct UtcFields {
    int64_t year, month, day, hour, minute, second;
};
UtcFields UtcFieldsOf(uint64_t fileTime);
