// The settings store: the registry under HKCU\Software\Zandrel\Pellick\ on Windows, an ini file on POSIX.
#pragma once

#include <cstdint>

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kSettingString = 1;  // REG_SZ
inline constexpr uint32_t kSettingBinary = 3;  // REG_BINARY
inline constexpr uint32_t kSettingDword = 4;   // REG_DWORD

// The root is HKEY_CURRENT_USER on Windows and the user's config folder on POSIX;
// subkey is appended to the key "Software\Zandrel\Pellick\" (the program passes "").
int QuerySetting(const char *subkey, const char *name, uint32_t *type, void *data, uint32_t *size);
int ReadSettingString(const char *subkey, const char *name, char *buffer, uint32_t capacity);
int32_t ReadSettingDword(const char *subkey, const char *name, int32_t def, int32_t minimum, int32_t maximum);
int WriteSetting(const char *subkey, const char *name, uint32_t type, const void *data, uint32_t size);
int WriteSettingString(const char *subkey, const char *name, const char *text);
int WriteSettingDword(const char *subkey, const char *name, uint32_t value);
