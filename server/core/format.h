// Durations, rates and instants as the texts the server shows, in the form (MaxScale, Resolution) they are given.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kFormatBufferSize = 260;

// The form of durations and rates: the options dialog's two choices.
struct DisplayForm {
    int32_t maxScale;    // largest unit: 0 seconds, 1 minutes, 2 hours, 3 days (beyond acts as the nearest)
    int32_t resolution;  // decimals 0..4 (beyond acts as the nearest)
};

// 3 days, 5:23:47.1234: the options dialog's sample, which shows every unit and all four decimals.
inline constexpr int64_t kSampleDurationTicks = 2786271234000;

// ticks: signed 100 ns units. Writes a NUL-terminated text into text[260],
// e.g. "3 days, 5:23:47.1234"; a negative count reads with one leading minus.
void FormatDuration(int64_t ticks, const DisplayForm &form, char *text);
// value: a rate per hour, truncated (not rounded) to form.resolution decimals.
// "-" when not finite or when value x 10^resolution does not fit 64 bits.
void FormatRate(double value, const DisplayForm &form, char *text);
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
