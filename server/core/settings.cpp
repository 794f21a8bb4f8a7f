// The process-wide settings values, loaded once at start-up from the settings store.
#include "settings.h"

#include "settings_store.h"

ServerSettings g_settings;

void LoadSettings() {
    // A value the store does not accept leaves the path as it was.
    ReadSettingString("", kSettingHtml, g_settings.htmlPath, sizeof g_settings.htmlPath);
    g_settings.htmlPath[sizeof g_settings.htmlPath - 1] = '\0';
    g_settings.htmlOutput = g_settings.htmlPath[0] != '\0' ? 1 : 0;
    g_settings.maxScale = ReadSettingDword("", kSettingMaxScale, kDefaultMaxScale, kMinMaxScale, kMaxMaxScale);
    g_settings.resolution =
        ReadSettingDword("", kSettingResolution, kDefaultResolution, kMinResolution, kMaxResolution);
}
