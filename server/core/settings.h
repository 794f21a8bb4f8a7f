// The server's settings as values, their loading from the settings store, and the one way to change them.
#pragma once

#include "address_filter.h"
#include "format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Value names in the settings store (platform/settings_store.h).
inline constexpr const char *kSettingHtml = "HTML";
inline constexpr const char *kSettingMaxScale = "MaxScale";
inline constexpr const char *kSettingResolution = "Resolution";
inline constexpr const char *kSettingStallSeconds = "StallSeconds";
inline constexpr const char *kSettingWebhook = "Webhook";
inline constexpr const char *kSettingMaxCpusPerAddress = "MaxCpusPerAddress";
inline constexpr const char *kSettingStatusNetworks = "StatusNetworks";

// Defaults and accepted ranges; a stored value out of range gives the default.
inline constexpr int32_t kDefaultMaxScale = 3, kMinMaxScale = 0, kMaxMaxScale = 3;
inline constexpr int32_t kDefaultResolution = 4, kMinResolution = 0, kMaxResolution = 4;
inline constexpr int32_t kDefaultStallSeconds = 600, kMinStallSeconds = 10, kMaxStallSeconds = 86400;
inline constexpr int32_t kDefaultMaxCpusPerAddress = 1024, kMinMaxCpusPerAddress = 1,
                         kMaxMaxCpusPerAddress = 1048576;
// The webhook's address: an absolute http:// or https:// URL of at most this many bytes.
inline constexpr size_t kMaxWebhookBytes = 2048;
// The StatusNetworks list: at most this many bytes; a longer one is not read.
inline constexpr size_t kMaxStatusNetworksBytes = 4096;

// The settings in force. The front end owns one and hands it to the refresh;
// it changes only through the Set/Stop calls below, on the core thread.
struct ServerSettings {
    int32_t maxScale = kDefaultMaxScale;      // 0 seconds, 1 minutes, 2 hours, 3 days
    int32_t resolution = kDefaultResolution;  // decimals 0..4
    int32_t htmlOutput = 0;                   // 1: the refresh writes the fragment to htmlPath
    char htmlPath[260] = {};                  // always NUL-terminated
    int32_t stallSeconds = kDefaultStallSeconds;  // the stall time (IsStalled, client_table.h)
    char webhook[kMaxWebhookBytes + 1] = {};      // where events are posted; empty: none. NUL-terminated
    // The status port's rules, read at the start only: connections one peer
    // address may hold, and the networks they may come from.
    int32_t maxCpusPerAddress = kDefaultMaxCpusPerAddress;
    AddressFilter statusNetworks;     // not restricted: any address
    std::string statusNetworksIssue;  // what was wrong with the stored list, one line; empty when nothing

    DisplayForm Form() const { return {maxScale, resolution}; }
};

// Loads HTML, MaxScale, Resolution, StallSeconds, Webhook, MaxCpusPerAddress and
// StatusNetworks in that order from the store. HTML output is on exactly when the loaded
// path is not empty; a stored webhook that is not a webhook address (IsWebhookUrl) is
// ignored. StatusNetworks: missing or empty is any address; its bad entries are left out
// (ParseStatusNetworks), and a value that is there but cannot be read (not a text, longer
// than kMaxStatusNetworksBytes) or holds no good entry allows no address at all, never
// more than was written; statusNetworksIssue then says so.
ServerSettings LoadSettings();
// The list as the settings hold it, with the line that says what was wrong with it
// (empty when nothing was): LoadSettings' reading of a stored text.
void ApplyStatusNetworks(ServerSettings &settings, std::string_view text);

// The changes the options dialog and the dashboard make: each updates
// settings and saves the value in the store. 1 when the store took it.
int SetMaxScale(ServerSettings &settings, int32_t maxScale);
int SetResolution(ServerSettings &settings, int32_t resolution);
// The caller checks the range (kMinStallSeconds..kMaxStallSeconds).
int SetStallSeconds(ServerSettings &settings, int32_t stallSeconds);
// A file chosen: output on (off for an empty path), the path saved (at most
// 259 bytes are kept).
int SetHtmlPath(ServerSettings &settings, std::string_view path);
// Output off for this run only: the saved path stays in the store and is
// used again at the next start.
void StopHtmlOutput(ServerSettings &settings);
// The webhook chosen (empty: none); the caller checks it with IsWebhookUrl.
int SetWebhook(ServerSettings &settings, std::string_view url);

// Whether url may be the webhook: "http://" or "https://" (any case) and a
// host, at most kMaxWebhookBytes bytes, no control characters, spaces or
// bytes past ASCII. False with a short reason otherwise.
bool IsWebhookUrl(std::string_view url, std::string &reason);
// The webhook as shown to anyone who can read the status: scheme, host and
// port only, with "/..." when more follows (a path or query often holds a
// secret); empty when there is none.
std::string WebhookShown(std::string_view url);
