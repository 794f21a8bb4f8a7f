// Local date and time texts on Windows: UTC to local conversion and the user's default date and time formats.
#include "locale_time.h"

#include <windows.h>

#include <climits>
#include <cstring>

int LocalDateTimeText(const uint64_t *instant, char *text, size_t capacity) {
    if (!text || capacity == 0) return 0;
    text[0] = '\0';
    SYSTEMTIME local;
    if (instant) {
        FILETIME ft;
        ft.dwLowDateTime = static_cast<DWORD>(*instant);
        ft.dwHighDateTime = static_cast<DWORD>(*instant >> 32);
        SYSTEMTIME utc;
        // FileTimeToSystemTime refuses instants of 2^63 and above.
        if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return 0;
    } else {
        GetLocalTime(&local);
    }
    const int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    if (GetDateFormatA(LOCALE_USER_DEFAULT, 0, &local, nullptr, text, room) <= 0) {
        text[0] = '\0';
        return 0;
    }
    const size_t dateLength = strnlen(text, static_cast<size_t>(room));
    // The time goes after one space, with the room that remains.
    if (dateLength + 2 >= static_cast<size_t>(room)) {
        text[0] = '\0';
        return 0;
    }
    text[dateLength] = ' ';
    if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &local, nullptr, text + dateLength + 1,
                       room - static_cast<int>(dateLength) - 1) <= 0) {
        text[0] = '\0';
        return 0;
    }
    return 1;
}
