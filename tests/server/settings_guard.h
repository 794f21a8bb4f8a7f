// Test helper: sets MaxScale and Resolution (and optionally HTML output) for a scope, restoring them after.
#pragma once

#include "settings.h"

struct SettingsGuard {
    ServerSettings saved = g_settings;
    SettingsGuard(int maxScale, int resolution) {
        g_settings.maxScale = maxScale;
        g_settings.resolution = resolution;
    }
    ~SettingsGuard() { g_settings = saved; }
    SettingsGuard(const SettingsGuard &) = delete;
    SettingsGuard &operator=(const SettingsGuard &) = delete;
};
