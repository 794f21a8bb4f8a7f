// Texts from status messages and from the system as UTF-8 for the dashboard, with code page 1252 for bytes that are not UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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
