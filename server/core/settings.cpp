// The server's settings: loaded once at start-up from the settings store, changed and saved through one small API.
#include "settings.h"

#include "settings_store.h"

#include <algorithm>
#include <cstring>
#include <string>

ServerSettings LoadSettings() {
    ServerSettings settings;
    // A value the store does not accept leaves the path empty.
    ReadSettingString(kSettingHtml, settings.htmlPath, sizeof settings.htmlPath);
    settings.htmlPath[sizeof settings.htmlPath - 1] = '\0';
    settings.htmlOutput = settings.htmlPath[0] != '\0' ? 1 : 0;
    settings.maxScale = ReadSettingInt(kSettingMaxScale, kDefaultMaxScale, kMinMaxScale, kMaxMaxScale);
    settings.resolution = ReadSettingInt(kSettingResolution, kDefaultResolution, kMinResolution, kMaxResolution);
    settings.stallSeconds = ReadSettingInt(kSettingStallSeconds, kDefaultStallSeconds, kMinStallSeconds, kMaxStallSeconds);
    ReadSettingString(kSettingWebhook, settings.webhook, sizeof settings.webhook);
    settings.webhook[sizeof settings.webhook - 1] = '\0';
    std::string reason;
    if (settings.webhook[0] && !IsWebhookUrl(settings.webhook, reason)) settings.webhook[0] = '\0';
    settings.maxCpusPerAddress =
        ReadSettingInt(kSettingMaxCpusPerAddress, kDefaultMaxCpusPerAddress, kMinMaxCpusPerAddress, kMaxMaxCpusPerAddress);
    // A read that fails leaves the buffer as it was: the mark tells an empty text from none.
    std::string networks(kMaxStatusNetworksBytes + 1, '\0');
    networks[0] = 'x';
    const int length = ReadSettingString(kSettingStatusNetworks, networks.data(), static_cast<uint32_t>(networks.size()));
    if (length > 0 || networks[0] == '\0') {
        ApplyStatusNetworks(settings, std::string_view(networks.data(), static_cast<size_t>(std::max(length, 0))));
    } else if (SettingPresent(kSettingStatusNetworks)) {
        // There but not readable as a list: nothing is read as wider than was meant.
        settings.statusNetworks = AddressFilter{true, {}};
        settings.statusNetworksIssue = "StatusNetworks: the value is not a text of at most " +
                                       std::to_string(kMaxStatusNetworksBytes) +
                                       " bytes; every status connection is refused";
    }
    return settings;
}

void ApplyStatusNetworks(ServerSettings &settings, std::string_view text) {
    AddressFilterParse parsed = ParseStatusNetworks(text);
    settings.statusNetworks = std::move(parsed.filter);
    settings.statusNetworksIssue.clear();
    if (parsed.ignored.empty()) return;
    std::string line = "StatusNetworks: ignored ";
    for (size_t i = 0; i < parsed.ignored.size(); ++i) line += (i ? ", " : "") + parsed.ignored[i];
    if (settings.statusNetworks.networks.empty()) {
        line += "; no network is left: every status connection is refused";
    } else {
        line += "; status connections are taken from " + NetworksText(settings.statusNetworks) + " only";
    }
    settings.statusNetworksIssue = std::move(line);
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

int SetWebhook(ServerSettings &settings, std::string_view url) {
    url = url.substr(0, url.find('\0'));
    const size_t n = std::min(url.size(), sizeof settings.webhook - 1);
    std::memcpy(settings.webhook, url.data(), n);
    settings.webhook[n] = '\0';
    return WriteSettingString(kSettingWebhook, settings.webhook);
}

namespace {

// The length of the scheme and "://" when url starts with http:// or https:// (any case), else 0.
size_t WebhookSchemeLength(std::string_view url) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (url.size() < scheme.size()) continue;
        bool same = true;
        for (size_t i = 0; i < scheme.size(); ++i) {
            const char c = url[i] >= 'A' && url[i] <= 'Z' ? static_cast<char>(url[i] - 'A' + 'a') : url[i];
            same = same && c == scheme[i];
        }
        if (same) return scheme.size();
    }
    return 0;
}

}  // namespace

bool IsWebhookUrl(std::string_view url, std::string &reason) {
    if (url.size() > kMaxWebhookBytes) {
        reason = "the webhook is longer than " + std::to_string(kMaxWebhookBytes) + " bytes";
        return false;
    }
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F) {
            reason = "the webhook must not hold spaces, control characters or bytes past ASCII";
            return false;
        }
    }
    const size_t scheme = WebhookSchemeLength(url);
    if (scheme == 0) {
        reason = "the webhook must start with http:// or https://";
        return false;
    }
    const std::string_view rest = url.substr(scheme);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    const std::string_view host = authority.substr(authority.find('@') + 1);  // after any user part
    if (host.empty() || host.front() == ':') {
        reason = "the webhook must name a host";
        return false;
    }
    return true;
}

std::string WebhookShown(std::string_view url) {
    const size_t scheme = WebhookSchemeLength(url);
    if (scheme == 0) return {};
    const std::string_view rest = url.substr(scheme);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    std::string_view host = authority;
    const size_t at = host.find('@');  // a user name and password are never shown
    if (at != std::string_view::npos) host.remove_prefix(at + 1);
    std::string shown(url.substr(0, scheme));
    shown += host;
    const std::string_view more = rest.substr(authority.size());
    if (more == "/") {
        shown += more;
    } else if (!more.empty()) {
        shown += "/...";
    }
    return shown;
}
