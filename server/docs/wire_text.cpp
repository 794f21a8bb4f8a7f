// UTF-8 from wire and system texts by the one UTF-8 rule, falling back to code page 1252 byte by byte, and back to 1252 for typed paths.
#include "wire_text.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Code page 1252, bytes 0x80..0x9F; 0 where the code page defines nothing.
// 0xA0..0xFF are U+00A0..U+00FF.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88..8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98..9F
};

char32_t Cp1252ToUnicode(uint8_t b) {
    if (b < 0x80 || b >= 0xA0) return b;
    const char16_t c = kCp1252High[b - 0x80];
    return c ? c : kReplacement;
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

size_t Utf8SequenceLength(std::string_view s, size_t *valid, char32_t *code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t b0 = byte(0);
    size_t n;
    char32_t c;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 < 0x80) {
        if (code) *code = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        c = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        c = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        if (valid) *valid = 1;
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if (i >= s.size() || byte(i) < (i == 1 ? lo : 0x80) || byte(i) > (i == 1 ? hi : 0xBF)) {
            if (valid) *valid = i;
            return 0;
        }
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (code) *code = c;
    return n;
}

std::string_view FieldBytes(const char *field, size_t capacity) {
    const void *nul = std::memchr(field, '\0', capacity);
    return {field, nul ? static_cast<size_t>(static_cast<const char *>(nul) - field) : capacity};
}

void AppendWireText(std::string &out, std::string_view bytes) {
    out.reserve(out.size() + bytes.size());
    while (!bytes.empty()) {
        const size_t n = Utf8SequenceLength(bytes);
        if (n) {
            out.append(bytes.data(), n);
            bytes.remove_prefix(n);
        } else {
            AppendUtf8(out, Cp1252ToUnicode(static_cast<uint8_t>(bytes[0])));
            bytes.remove_prefix(1);
        }
    }
}

std::string WireText(std::string_view bytes) {
    std::string out;
    AppendWireText(out, bytes);
    return out;
}

bool Utf8ToCp1252(std::string_view utf8, std::string &out) {
    out.clear();
    while (!utf8.empty()) {
        char32_t c = 0;
        const size_t n = Utf8SequenceLength(utf8, nullptr, &c);
        if (!n) return false;
        utf8.remove_prefix(n);
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += static_cast<char>(c);
            continue;
        }
        size_t i = 0;
        while (i < kCp1252High.size() && (kCp1252High[i] == 0 || kCp1252High[i] != c)) ++i;
        if (i == kCp1252High.size()) return false;
        out += static_cast<char>(0x80 + i);
    }
    return true;
}
