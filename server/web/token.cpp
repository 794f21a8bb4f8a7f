// Making, keeping and checking the dashboard's change token.
#include "token.h"

#include "ascii_case.h"
#include "http_query.h"
#include "random.h"
#include "settings_store.h"

bool IsToken(std::string_view text) {
    if (text.size() < 32 || text.size() > 128) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string LoadOrMakeToken(bool &stored) {
    char buffer[130] = {};
    const int length = ReadSettingString(kSettingDashboardToken, buffer, sizeof buffer);
    if (length > 0 && IsToken(std::string_view(buffer, static_cast<size_t>(length)))) {
        stored = true;
        return std::string(buffer, static_cast<size_t>(length));
    }
    unsigned char bytes[kTokenBytes];
    if (!RandomBytes(bytes, sizeof bytes)) {
        stored = false;
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    stored = WriteSettingString(kSettingDashboardToken, token.c_str()) != 0;
    return token;
}

bool SameToken(std::string_view token, std::string_view candidate) {
    if (token.empty()) return false;
    // The lengths are no secret (every token has the same), the bytes are: look at all of them.
    unsigned difference = token.size() == candidate.size() ? 0u : 1u;
    for (size_t i = 0; i < token.size(); ++i) {
        const char c = i < candidate.size() ? candidate[i] : '\0';
        difference |= static_cast<unsigned char>(token[i] ^ c);
    }
    return difference == 0;
}

std::string_view RequestToken(std::string_view authorization, std::string_view cookies, std::string_view cookieName) {
    for (std::string_view scheme : {"bearer ", "token "}) {
        if (StartsWithNoCase(authorization, scheme)) {
            std::string_view rest = authorization.substr(scheme.size());
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
            while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
            return rest;
        }
    }
    return CookieValue(cookies, cookieName);
}
