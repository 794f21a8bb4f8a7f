// The server's process-wide settings values and the seven settings-store operations.
#pragma once

#include <cstdint>

// Process-wide, window thread only.
struct ServerSettings {
    int32_t maxScale = 3;    // 0 seconds .. 3 days
    int32_t resolution = 4;  // decimals 0..4
    int32_t htmlOutput = 0;  // 1: RefreshStatus writes the fragment
    char htmlPath[260] = {};
};
extern ServerSettings g_settings;

// Loads HTML, MaxScale, Resolution in that order from the store.
void LoadSettings();
