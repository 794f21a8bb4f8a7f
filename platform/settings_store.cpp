// The settings store by name, on both platforms: the named calls over the store's raw calls (posix/, win32/).
#include "settings_store.h"

#include "settings_store_raw.h"

#include <cstring>

int WriteSettingStringAt(const char *subkey, const char *name, const char *text) {
    if (!text || !*text) return WriteSetting(subkey, name, kSettingString, nullptr, 0);
    return WriteSetting(subkey, name, kSettingString, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

int WriteSettingDwordAt(const char *subkey, const char *name, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return WriteSetting(subkey, name, kSettingDword, bytes, sizeof bytes);
}

int ReadSettingString(const char *name, char *buffer, uint32_t capacity) {
    return ReadSettingStringAt("", name, buffer, capacity);
}

bool SettingPresent(const char *name) {
    uint32_t type = 0, size = 0;  // no data: only the size is asked for
    return QuerySetting("", name, &type, nullptr, &size) != 0;
}

int32_t ReadSettingInt(const char *name, int32_t def, int32_t minimum, int32_t maximum) {
    return ReadSettingDwordAt("", name, def, minimum, maximum);
}

int WriteSettingString(const char *name, const char *text) { return WriteSettingStringAt("", name, text); }

int WriteSettingInt(const char *name, int32_t value) {
    return WriteSettingDwordAt("", name, static_cast<uint32_t>(value));
}
