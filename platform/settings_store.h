// The settings store: the registry under HKCU\Software\Zandrel\Pellick\ on Windows, an ini file on POSIX.
#pragma once

#include <cstdint>

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kSettingString = 1;  // REG_SZ
inline constexpr uint32_t kSettingBinary = 3;  // REG_BINARY
inline constexpr uint32_t kSettingDword = 4;   // REG_DWORD

// The web dashboard's change token, a secret: on POSIX it is not a line of
// settings.ini but a file of its own, dashboard.token (mode 0600), in the
// key's folder; on Windows a value like any other.
inline constexpr const char *kSettingDashboardToken = "DashboardToken";
inline constexpr const char *kDashboardTokenFile = "dashboard.token";

// The root is HKEY_CURRENT_USER on Windows. On POSIX the key is the folder
// ${XDG_CONFIG_HOME:-$HOME/.config}/Zandrel/Pellick and its values are the
// Name=value lines of settings.ini there (values kept as text, integers in
// decimal; the file and its folders are created by the first write).
// subkey is appended to the key "Software\Zandrel\Pellick\" (the program
// passes ""); prefix and subkey together must fit 259 characters. Every
// call opens the key and closes it before returning; a key that cannot be
// opened reads as missing values and fails writes.

// Reads the named value: 1 when read. On entry *size is the capacity of
// data; on success it holds the value's size and *type its type (on POSIX
// always kSettingString: the text and its NUL).
int QuerySetting(const char *subkey, const char *name, uint32_t *type, void *data, uint32_t *size);
// A string value into buffer (always NUL-terminated): its length, or 0 when
// the value is missing, not a string or too long for capacity; then buffer
// is left as it was.
int ReadSettingString(const char *subkey, const char *name, char *buffer, uint32_t capacity);
// A 32-bit value within minimum..maximum (signed), else def. Windows: a
// REG_DWORD or REG_BINARY of up to 4 bytes (zero-extended, little-endian),
// or any type of exactly 4 bytes. POSIX: a decimal integer.
int32_t ReadSettingDword(const char *subkey, const char *name, int32_t def, int32_t minimum, int32_t maximum);
// Stores size bytes of data with type; data == nullptr deletes the value,
// and deleting a value that is not there succeeds. 1 on success. On POSIX
// only strings (no line breaks) and 4-byte integers can be stored.
int WriteSetting(const char *subkey, const char *name, uint32_t type, const void *data, uint32_t size);
// A missing or empty text deletes the value; otherwise stores it with its NUL.
int WriteSettingString(const char *subkey, const char *name, const char *text);
int WriteSettingDword(const char *subkey, const char *name, uint32_t value);
