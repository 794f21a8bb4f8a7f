// The server's settings: loaded once at start-up from the settings store, changed and saved through one small API.
#include "settings.h"

#include "settings_store.h"

#include <algorithm>
#include <cstring>

ServerSettings LoadSettings() {
    ServerSettings settings;
    // A value the store does not accept leaves the path empty.
    ReadSettingString(kSettingHtml, settings.htmlPath, sizeof settings.htmlPath);
    settings.htmlPath[sizeof settings.htmlPath - 1] = '\0';
    settings.htmlOutput = settings.htmlPath[0] != '\0' ? 1 : 0;
    settings.maxScale = ReadSettingInt(kSettingMaxScale, kDefaultMaxScale, kMinMaxScale, kMaxMaxScale);
    settings.resolution = ReadSettingInt(kSettingResolution, kDefaultResolution, kMinResolution, kMaxResolution);
    settings.stallSeconds = ReadSettingInt(kSettingStallSeconds, kDefaultStallSeconds, kMinStallSeconds, kMaxStallSeconds);
    return settings;
}

int SetMaxScale(ServerSettings &settings, int32_t maxScale) {
    settings.maxScale = maxScale;
    return WriteSettingInt(kSettingMaxScale, maxScale);
}

int SetResolution(ServerSettings &settings, int32_t resolution) {
    settings.resolution = resolution;
    return WriteSettingInt(kSettingResolution, resolution);
}

int SetStallSeconds(ServerSettings &settings, int32_t stallSeconds) {
    settings.stallSeconds = stallSeconds;
    return WriteSettingInt(kSettingStallSeconds, stallSeconds);
}

int SetHtmlPath(ServerSettings &settings, std::string_view path) {
    path = path.substr(0, path.find('\0'));  // a text ends at its NUL
    const size_t n = std::min(path.size(), sizeof settings.htmlPath - 1);
    std::memcpy(settings.htmlPath, path.data(), n);
    settings.htmlPath[n] = '\0';
    settings.htmlOutput = n > 0 ? 1 : 0;
    return WriteSettingString(kSettingHtml, settings.htmlPath);
}

void StopHtmlOutput(ServerSettings &settings) {
    settings.htmlOutput = 0;
    settings.htmlPath[0] = '\0';
}
