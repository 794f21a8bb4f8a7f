// The server's process-wide settings values and their loading from the settings store.
#pragma once

#include <cstdint>

// Value names in the settings store (platform/settings_store.h).
inline constexpr const char *kSettingHtml = "HTML";
inline constexpr const char *kSettingMaxScale = "MaxScale";
inline constexpr const char *kSettingResolution = "Resolution";

// Defaults and accepted ranges; a stored value out of range gives the default.
inline constexpr int32_t kDefaultMaxScale = 3, kMinMaxScale = 0, kMaxMaxScale = 3;
inline constexpr int32_t kDefaultResolution = 4, kMinResolution = 0, kMaxResolution = 4;

// Process-wide, window thread only.
struct ServerSettings {
    int32_t maxScale = kDefaultMaxScale;      // 0 seconds, 1 minutes, 2 hours, 3 days
    int32_t resolution = kDefaultResolution;  // decimals 0..4
    int32_t htmlOutput = 0;                   // 1: RefreshStatus writes the fragment
    char htmlPath[260] = {};                  // always NUL-terminated
};
extern ServerSettings g_settings;

// Loads HTML, MaxScale, Resolution in that order from the store (empty
// subkey). HTML output is on exactly when the loaded path is not empty.
void LoadSettings();
