// Local date and time texts on POSIX: the locale's %x and %X formats from LC_TIME, via localtime_r.
#include "locale_time.h"

#include "clock.h"

#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <string>

namespace {

// The user's LC_TIME locale from the environment, made once; a private
// locale object leaves the process-wide locale alone.
locale_t UserTimeLocale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
        return l ? l : newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    }();
    return locale;
}

// Follows changes of TZ, the currently active zone; tzset() re-reads the
// zone file on every call, so it runs only when TZ changed.
void FollowTimeZone() {
    static bool known = false, hadZone = false;
    static std::string lastZone;
    const char *zone = getenv("TZ");
    if (known && (zone ? hadZone && lastZone == zone : !hadZone)) return;
    tzset();
    known = true;
    hadZone = zone != nullptr;
    lastZone = zone ? zone : "";
}

}  // namespace

int LocalDateTimeText(const uint64_t *instant, char *text, size_t capacity) {
    if (!text || capacity == 0) return 0;
    text[0] = '\0';
    const uint64_t ticks = instant ? *instant : NowFileTime();
    // ticks / 10^7 is below 2^41, so the difference fits time_t.
    const time_t seconds =
        static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - static_cast<int64_t>(kUnixEpochSeconds));
    FollowTimeZone();
    tm local{};
    if (!localtime_r(&seconds, &local)) return 0;
    const locale_t locale = UserTimeLocale();
    const size_t n = locale ? strftime_l(text, capacity, "%x %X", &local, locale)
                            : strftime(text, capacity, "%x %X", &local);
    if (n == 0) {
        text[0] = '\0';
        return 0;
    }
    return 1;
}
