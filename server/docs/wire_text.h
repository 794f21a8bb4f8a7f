// The UTF-8 rule the server reads texts by, and texts from status messages and from the system as UTF-8 for the dashboard, with code page 1252 for bytes that are not UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The UTF-8 rule (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF) every reader of texts here applies. Of the sequence starting at
// bytes[0] (bytes not empty): its length when whole and well formed, with its
// character in *code; else 0, with *valid set to how many of its bytes come
// before the first that cannot (at least 1), the part one U+FFFD replaces.
size_t Utf8SequenceLength(std::string_view bytes, size_t *valid = nullptr, char32_t *code = nullptr);

// The bytes of a fixed-size text field up to its first NUL, or all of them
// when it has none (a 260-byte name may fill its field unterminated).
std::string_view FieldBytes(const char *field, size_t capacity);

// Appends bytes as UTF-8: well-formed UTF-8 sequences are kept, every other
// byte is read as Windows code page 1252 (the plug-ins' system code page), so
// nothing is dropped. The five bytes 1252 leaves undefined become U+FFFD.
void AppendWireText(std::string &out, std::string_view bytes);
std::string WireText(std::string_view bytes);
template <size_t N>
std::string WireText(const char (&field)[N]) {
    return WireText(FieldBytes(field, N));
}

// UTF-8 to code page 1252, for a path typed on the dashboard that a Windows
// server hands to its ANSI file calls. False when the text is not UTF-8 or
// holds a character 1252 cannot write.
bool Utf8ToCp1252(std::string_view utf8, std::string &out);
