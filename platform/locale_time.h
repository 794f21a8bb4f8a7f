// Local date and time texts in the user's locale formats, for the instants the server shows.
#pragma once

#include <cstddef>
#include <cstdint>

// Window thread only. Writes instant (file-time ticks, UTC), or the present moment when instant
// is nullptr, as the local short date, one space and the local time, in the
// user's default locale formats and the currently active time zone.
// Returns 1 on success; 0 leaves an empty text (when capacity > 0).
int LocalDateTimeText(const uint64_t *instant, char *text, size_t capacity);
