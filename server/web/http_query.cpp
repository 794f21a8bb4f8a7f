// Query string and cookie parsing for the dashboard's routes.
#include "http_query.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Decode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> out;
    while (!query.empty() && out.size() < kMaxQueryParameters) {
        const size_t amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (part.empty()) continue;
        const size_t eq = part.find('=');
        out.emplace_back(Decode(part.substr(0, eq)),
                         eq == std::string_view::npos ? std::string() : Decode(part.substr(eq + 1)));
    }
    return out;
}

bool QueryValue(std::string_view query, std::string_view name, std::string &value) {
    for (auto &[key, text] : ParseQuery(query)) {
        if (key == name) {
            value = std::move(text);
            return true;
        }
    }
    return false;
}

std::string_view CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t semi = header.find(';');
        const std::string_view part = Trim(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        const size_t eq = part.find('=');
        if (eq != std::string_view::npos && Trim(part.substr(0, eq)) == name) return Trim(part.substr(eq + 1));
    }
    return {};
}

bool IsMediaType(std::string_view contentType, std::string_view type) {
    std::string_view essence = contentType.substr(0, contentType.find(';'));
    const auto space = [](char c) { return c == ' ' || c == '\t'; };
    while (!essence.empty() && space(essence.front())) essence.remove_prefix(1);
    while (!essence.empty() && space(essence.back())) essence.remove_suffix(1);
    return EqualsNoCase(essence, type);
}
