// The settings store's own shape (registry value types, subkeys, raw value calls): for the store's implementations and the tests and fuzzers of that shape only.
#pragma once

#include "product_folder.h"

#include <cstdint>
#include <string>

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kSettingString = 1;  // REG_SZ
inline constexpr uint32_t kSettingBinary = 3;  // REG_BINARY
inline constexpr uint32_t kSettingDword = 4;   // REG_DWORD

// The root is HKEY_CURRENT_USER on Windows; on POSIX the key is the folder
// ${XDG_CONFIG_HOME:-$HOME/.config}/ProductFolder('/') and its values are the
// lines of settings.ini there (values kept as text). subkey is appended to
// the key SettingsKeyPrefix() (settings_store.h passes ""); prefix and subkey
// together must fit 259 characters. Every call opens the key and closes it
// before returning.
inline std::string SettingsKeyPrefix() { return "Software\\" + ProductFolder('\\') + '\\'; }

// Reads the named value: 1 when read. On entry *size is the capacity of
// data; on success it holds the value's size and *type its type (on POSIX
// always kSettingString: the text and its NUL).
int QuerySetting(const char *subkey, const char *name, uint32_t *type, void *data, uint32_t *size);
// ReadSettingString of settings_store.h under subkey.
int ReadSettingStringAt(const char *subkey, const char *name, char *buffer, uint32_t capacity);
// A 32-bit value within minimum..maximum (signed), else def. Windows: a
// REG_DWORD or REG_BINARY of up to 4 bytes (zero-extended, little-endian),
// or any type of exactly 4 bytes. POSIX: a decimal integer.
int32_t ReadSettingDwordAt(const char *subkey, const char *name, int32_t def, int32_t minimum, int32_t maximum);
// Stores size bytes of data with type; data == nullptr deletes the value,
// and deleting a value that is not there succeeds. 1 on success. On POSIX
// only strings (no line breaks) and 4-byte integers can be stored.
int WriteSetting(const char *subkey, const char *name, uint32_t type, const void *data, uint32_t size);
// A missing or empty text deletes the value; otherwise stores it with its NUL.
int WriteSettingStringAt(const char *subkey, const char *name, const char *text);
int WriteSettingDwordAt(const char *subkey, const char *name, uint32_t value);
