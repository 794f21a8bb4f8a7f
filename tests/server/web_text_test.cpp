// Tests of the dashboard's text decoding: UTF-8 kept, other bytes as code page 1252, unterminated fields, and typed paths back to 1252.
#include "wire_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Hex(const std::string &s) {
    std::string out;
    char b[4];
    for (const unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

TEST(WireText, DecodesUtf8AndCp1252ByteByByte) {
    struct Case {
        const char *what;
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {"ASCII", "Castle 01", "Castle 01"},
        {"UTF-8 kept", "\xC3\x9C" "ber \xE2\x82\xAC \xF0\x9F\x8E\xAC", "\xC3\x9C" "ber \xE2\x82\xAC \xF0\x9F\x8E\xAC"},
        {"1252 letters", "Caf\xE9 \xC9t\xE9", "Caf\xC3\xA9 \xC3\x89t\xC3\xA9"},
        {"1252 specials", "\x80\x85\x99\x9F", "\xE2\x82\xAC\xE2\x80\xA6\xE2\x84\xA2\xC5\xB8"},
        {"1252 quotes", "\x93hi\x94", "\xE2\x80\x9Chi\xE2\x80\x9D"},
        {"bytes 1252 leaves undefined", "\x81\x8D\x8F\x90\x9D",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"NBSP and y-umlaut", "\xA0\xFF", "\xC2\xA0\xC3\xBF"},
        {"lead byte without continuation", "\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
        {"truncated sequence at the end", "ab\xE2\x82", "ab\xC3\xA2\xE2\x80\x9A"},
        {"overlong slash", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
        {"UTF-16 surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\xC3\xB4\xEF\xBF\xBD\xE2\x82\xAC\xE2\x82\xAC"},
        {"controls kept for the encoder to escape", "a\tb\x01", "a\tb\x01"},
    };
    for (const Case &c : cases) {
        const std::string got = WireText(c.bytes);
        EXPECT_EQ(got, c.utf8) << c.what << "\n  got:      " << Hex(got) << "\n  expected: " << Hex(c.utf8);
    }
}

TEST(WireText, FieldsStopAtTheirTerminatorOrTheirEnd) {
    char field[260];
    std::memset(field, 'x', sizeof field);
    std::memcpy(field, "Castle\0junk", 11);
    EXPECT_EQ(WireText(field), "Castle") << "bytes after the terminator are not text";

    std::memset(field, 'A', sizeof field);  // a name that fills the field: no terminator
    EXPECT_EQ(WireText(field), std::string(260, 'A'));

    std::memset(field, '\xE9', sizeof field);  // 1252 all the way: every byte shown
    const std::string wide = WireText(field);
    EXPECT_EQ(wide.size(), 520u);
    EXPECT_EQ(wide.substr(0, 4), "\xC3\xA9\xC3\xA9");

    std::memset(field, 0, sizeof field);
    EXPECT_EQ(WireText(field), "");
}

TEST(Utf8ToCp1252, WritesWhat1252HasAndRefusesTheRest) {
    struct Case {
        const char *what;
        std::string utf8;
        bool ok;
        std::string bytes;
    };
    const Case cases[] = {
        {"ASCII path", "C:\\out\\status.htm", true, "C:\\out\\status.htm"},
        {"Latin-1 letters", "C:\\R\xC3\xA9sum\xC3\xA9.htm", true, "C:\\R\xE9sum\xE9.htm"},
        {"euro and dashes", "\xE2\x82\xAC\xE2\x80\x93", true, "\x80\x96"},
        {"not in 1252", "\xE6\x97\xA5.htm", false, ""},
        {"emoji", "\xF0\x9F\x8E\xAC", false, ""},
        {"not UTF-8", "\xE9t\xE9", false, ""},
        {"U+0081 is not the undefined byte", "\xC2\x81", false, ""},
        {"empty", "", true, ""},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(Utf8ToCp1252(c.utf8, out), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(out, c.bytes) << c.what << ": " << Hex(out);
        }
    }
    // Every byte 1252 defines comes back from its UTF-8 form.
    for (int b = 0x20; b < 0x100; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string utf8 = WireText(one);
        if (utf8 == "\xEF\xBF\xBD") continue;  // undefined in 1252
        std::string back;
        EXPECT_TRUE(Utf8ToCp1252(utf8, back) && back == one) << "byte " << b;
    }
}

}  // namespace
