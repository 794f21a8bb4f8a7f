// The settings store: named text and integer values, kept in the registry under the product's key in HKCU\Software on Windows and in an ini file on POSIX.
#pragma once

#include <cstdint>

// On POSIX the values are the Name=value lines of
// settings.ini in the product folder (product_folder.h) under
// ${XDG_CONFIG_HOME:-$HOME/.config} (integers in
// decimal; the file and its folders are created by the first write). Names
// are matched without regard to ASCII case. A store that cannot be opened
// reads as missing values and fails writes.

// The web dashboard's change token, a secret: on POSIX it is not a line of
// settings.ini but a file of its own, dashboard.token (mode 0600), in the
// settings folder; on Windows a value like any other.
inline constexpr const char *kSettingDashboardToken = "DashboardToken";
inline constexpr const char *kDashboardTokenFile = "dashboard.token";

// The named text into buffer (always NUL-terminated): its length, or 0 when
// the value is missing, not a text or too long for capacity; buffer is then
// left as it was. On POSIX spaces and tabs around the text are not part of it.
int ReadSettingString(const char *name, char *buffer, uint32_t capacity);
// Whether the named value is stored at all, of any type or size: tells a
// missing value from one that is there but cannot be read as wanted.
bool SettingPresent(const char *name);
// The named integer when it lies within minimum..maximum, else def.
int32_t ReadSettingInt(const char *name, int32_t def, int32_t minimum, int32_t maximum);
// Stores the text; a missing or empty text deletes the value. 1 on success.
// On POSIX a text with a line break cannot be stored.
int WriteSettingString(const char *name, const char *text);
// Stores the integer. 1 on success.
int WriteSettingInt(const char *name, int32_t value);
