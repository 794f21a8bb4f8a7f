// Parsing, checking and applying option changes sent by the dashboard's panel.
#include "options.h"

#include "files.h"
#include "http_query.h"
#include "settings.h"
#include "wire_text.h"

#include <nlohmann/json.hpp>


namespace {

bool ReadRange(const nlohmann::json &value, const char *name, int32_t low, int32_t high, std::optional<int32_t> &out,
               std::string &error) {
    if (!value.is_number_integer() || value.get<int64_t>() < low || value.get<int64_t>() > high) {
        error = std::string(name) + " must be a whole number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    out = static_cast<int32_t>(value.get<int64_t>());
    return true;
}

// Host part of a Host header or of an origin's authority: "[::1]:8080" -> "::1", "a:1" -> "a".
std::string_view HostName(std::string_view authority) {
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return {};
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return {};
        return authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// A page the report may replace: its name ends in .htm or .html (any case).
bool HasPageExtension(std::string_view path) {
    for (std::string_view ext : {".htm", ".html"}) {
        if (path.size() > ext.size() && EqualsNoCase(path.substr(path.size() - ext.size()), ext)) return true;
    }
    return false;
}

bool IsLoopbackHost(std::string_view name) {
    return EqualsNoCase(name, "localhost") || IsLoopbackAddress(name);
}

bool IsDottedQuad(std::string_view s) {
    int parts = 0;
    while (true) {
        size_t digits = 0;
        int value = 0;
        while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
            value = value * 10 + (s[digits] - '0');
            if (++digits > 3) return false;
        }
        if (digits == 0 || value > 255) return false;
        ++parts;
        s.remove_prefix(digits);
        if (s.empty()) return parts == 4;
        if (s.front() != '.' || parts == 4) return false;
        s.remove_prefix(1);
    }
}

}  // namespace

bool ParseOptionsChange(std::string_view body, bool ansiPaths, OptionsChange &change, std::string &error) {
    change = OptionsChange();
    const nlohmann::json doc = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "the body must be a JSON object";
        return false;
    }
    std::optional<bool> save;
    for (const auto &[key, value] : doc.items()) {
        if (key == "maxScale") {
            if (!ReadRange(value, "maxScale", kMinMaxScale, kMaxMaxScale, change.maxScale, error)) return false;
        } else if (key == "resolution") {
            if (!ReadRange(value, "resolution", kMinResolution, kMaxResolution, change.resolution, error)) {
                return false;
            }
        } else if (key == "stallSeconds") {
            if (!ReadRange(value, "stallSeconds", kMinStallSeconds, kMaxStallSeconds, change.stallSeconds, error)) {
                return false;
            }
        } else if (key == "webhook") {
            if (!value.is_string()) {
                error = "webhook must be a text";
                return false;
            }
            const std::string &url = value.get_ref<const std::string &>();
            if (!url.empty() && !IsWebhookUrl(url, error)) return false;
            change.webhook = url;
        } else if (key == "save") {
            if (!value.is_boolean()) {
                error = "save must be true or false";
                return false;
            }
            save = value.get<bool>();
        } else if (key == "htmlPath") {
            if (!value.is_string()) {
                error = "htmlPath must be a text";
                return false;
            }
            const std::string &text = value.get_ref<const std::string &>();
            std::string path;
            if (ansiPaths) {
                if (!Utf8ToCp1252(text, path)) {
                    error = "htmlPath holds a character the server's code page (1252) cannot write";
                    return false;
                }
            } else {
                path = text;
            }
            for (const char c : path) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    error = "htmlPath must not hold control characters";
                    return false;
                }
            }
            if (path.empty()) {
                error = "htmlPath is empty";
                return false;
            }
            if (path.size() >= sizeof ServerSettings::htmlPath) {
                error = "htmlPath is longer than " + std::to_string(sizeof ServerSettings::htmlPath - 1) + " bytes";
                return false;
            }
            if (!IsLocalAbsolutePath(path.c_str())) {
                error = "htmlPath must be an absolute path on a local drive";
                return false;
            }
            if (!HasPageExtension(path)) {
                error = "htmlPath must end in .htm or .html";
                return false;
            }
            change.htmlPath = std::move(path);
        } else {
            error = "unknown option \"" + WireText(key) + "\"";
            return false;
        }
    }
    if (save == true && !change.htmlPath) {
        error = "save needs an htmlPath";
        return false;
    }
    if (save == false && change.htmlPath) {
        error = "htmlPath and save: false contradict each other";
        return false;
    }
    change.stopOutput = save == false;
    return true;
}

int ApplyOptionsChange(const OptionsChange &change, ServerSettings &settings) {
    int ok = 1;
    if (change.maxScale) ok &= SetMaxScale(settings, *change.maxScale);
    if (change.resolution) ok &= SetResolution(settings, *change.resolution);
    if (change.stallSeconds) ok &= SetStallSeconds(settings, *change.stallSeconds);
    if (change.webhook) ok &= SetWebhook(settings, *change.webhook);
    if (change.htmlPath) {
        ok &= SetHtmlPath(settings, *change.htmlPath);
    } else if (change.stopOutput) {
        StopHtmlOutput(settings);
    }
    return ok;
}

bool IsLoopbackAddress(std::string_view address) {
    if (address == "::1" || EqualsNoCase(address, "0:0:0:0:0:0:0:1")) return true;
    for (std::string_view mapped : {"::ffff:", "::FFFF:"}) {
        if (address.substr(0, mapped.size()) == mapped) {
            address.remove_prefix(mapped.size());
            break;
        }
    }
    return IsDottedQuad(address) && address.substr(0, 4) == "127.";
}

bool ChangeAllowed(std::string_view remoteAddress, std::string_view host, std::string_view origin) {
    if (!IsLoopbackAddress(remoteAddress)) return false;
    const std::string_view hostName = HostName(host);
    if (hostName.empty() || !IsLoopbackHost(hostName)) return false;
    if (origin.empty()) return true;  // not sent by a browser page, or a same-origin GET-like request
    constexpr std::string_view kScheme = "http://";
    if (origin.substr(0, kScheme.size()) != kScheme) return false;
    return EqualsNoCase(origin.substr(kScheme.size()), host);
}
