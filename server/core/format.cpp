// Durations, rates and instants as text: integer arithmetic on the magnitude, cut (never rounded) decimals.
#include "format.h"

#include "clock.h"
#include "locale_time.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <string_view>

DateTimeWriter g_dateTimeWriter = LocalDateTimeText;

namespace {

// Divisors that cut the four decimals down to Resolution p (index p).
constexpr uint64_t kCut[5] = {10000, 1000, 100, 10, 1};

constexpr uint64_t kUnitsPerSecond = 10000;  // durations work in 1/10000 s
constexpr uint64_t kUnitsPerMinute = 60 * kUnitsPerSecond;
constexpr uint64_t kUnitsPerHour = 60 * kUnitsPerMinute;
constexpr uint64_t kUnitsPerDay = 24 * kUnitsPerHour;

// Appends to a caller's buffer, always NUL-terminated, cutting what does not fit.
struct TextOut {
    char *text;
    size_t capacity;
    size_t length = 0;

    TextOut(char *t, size_t c) : text(t), capacity(c) { text[0] = '\0'; }

    void Put(std::string_view s) {
        const size_t n = std::min(s.size(), capacity - 1 - length);
        std::memcpy(text + length, s.data(), n);
        length += n;
        text[length] = '\0';
    }
    // Decimal, zero-padded to at least width digits.
    void Number(uint64_t value, int width = 0) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        const int count = static_cast<int>(end - digits);
        for (int i = count; i < width; ++i) Put("0");
        Put(std::string_view(digits, static_cast<size_t>(count)));
    }
};

int ClampedResolution(const DisplayForm &form) { return std::clamp(form.resolution, 0, 4); }

}  // namespace

void FormatDuration(int64_t ticks, const DisplayForm &form, char *text) {
    if (!text) return;
    const int maxScale = form.maxScale;  // above 3 acts as 3, below 0 as 0
    const int p = ClampedResolution(form);
    TextOut out(text, kFormatBufferSize);

    // Drop the three lowest digits, then work on the magnitude so every
    // component is non-negative and a negative count gets one leading sign.
    const int64_t u = ticks / 1000;
    uint64_t units = u < 0 ? 0 - static_cast<uint64_t>(u) : static_cast<uint64_t>(u);
    // A count that shows as zero at this resolution gets no sign.
    if (u < 0 && units / kCut[p] != 0) out.Put("-");

    bool printed = false;
    if (maxScale >= 3) {
        const uint64_t days = units / kUnitsPerDay;
        units %= kUnitsPerDay;
        if (days == 1) {
            out.Put("1 day, ");
        } else if (days > 1) {
            out.Number(days);
            out.Put(" days, ");
        }
        printed = days > 0;
    }
    if (maxScale >= 2) {
        const uint64_t hours = units / kUnitsPerHour;
        units %= kUnitsPerHour;
        if (hours != 0 || printed) {
            out.Number(hours);  // never padded, not even after days
            out.Put(":");
            printed = true;
        }
    }
    if (maxScale >= 1) {
        const uint64_t minutes = units / kUnitsPerMinute;
        units %= kUnitsPerMinute;
        if (minutes != 0 || printed) {
            out.Number(minutes, printed ? 2 : 0);
            out.Put(":");
            printed = true;
        }
    }
    out.Number(units / kUnitsPerSecond, printed ? 2 : 0);
    if (p != 0) {
        out.Put(".");
        out.Number(units % kUnitsPerSecond / kCut[p], p);
    }
}

void FormatRate(double value, const DisplayForm &form, char *text) {
    if (!text) return;
    const int p = ClampedResolution(form);
    TextOut out(text, kFormatBufferSize);
    double scale = 1.0;
    for (int i = 0; i < p; ++i) scale *= 10.0;
    // The product is truncated, not rounded: 2.05 at two decimals is 2.04.
    const double scaled = std::trunc(value * scale);
    if (!std::isfinite(scaled) || !(std::fabs(scaled) < 9223372036854775808.0)) {
        out.Put("-");
        return;
    }
    const int64_t whole = static_cast<int64_t>(scaled);
    const uint64_t magnitude = whole < 0 ? 0 - static_cast<uint64_t>(whole) : static_cast<uint64_t>(whole);
    const uint64_t unit = kUnitsPerSecond / kCut[p];  // 10^p
    if (whole < 0) out.Put("-");
    out.Number(magnitude / unit);
    if (p != 0) {
        out.Put(".");
        out.Number(magnitude % unit, p);
    }
}

void FormatDateTime(const uint64_t *instant, char *text, size_t capacity) {
    if (!text || capacity == 0) return;
    // File times from 2^63 on are past the platform calendars (Windows refuses them).
    const bool showable = !instant || *instant <= static_cast<uint64_t>(INT64_MAX);
    if (!showable || !g_dateTimeWriter || !g_dateTimeWriter(instant, text, capacity)) {
        TextOut out(text, capacity);
        out.Put("-");
    }
}

UtcFields UtcFieldsOf(uint64_t fileTime) {
    const int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - static_cast<int64_t>(kUnixEpochSeconds);
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // Civil date from days since 1970-01-01.
    const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (month <= 2), month, day, rest / 3600, rest / 60 % 60, rest % 60};
}
