// The dashboard's streaming JSON writer: escapes, UTF-8 checking and number forms in one pass over the output.
#include "json_writer.h"

#include "wire_text.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cmath>

namespace {

// What a byte needs inside a string: 0 copied, 1 escaped, 2 starts a UTF-8 sequence to check.
constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> c{};
    for (int i = 0; i < 0x20; ++i) c[static_cast<size_t>(i)] = 1;
    c['"'] = c['\\'] = 1;
    // The server's one rule for texts in JSON: these three as \u escapes, so a document stays inert inside HTML.
    c['<'] = c['>'] = c['&'] = 1;
    for (int i = 0x80; i < 0x100; ++i) c[static_cast<size_t>(i)] = 2;
    return c;
}
constexpr std::array<uint8_t, 256> kClass = MakeClasses();

void Escape(std::string &out, uint8_t b) {
    static const char kHex[] = "0123456789abcdef";
    switch (b) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: {
            const char e[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 15]};
            out.append(e, 6);
        }
    }
}

void AppendString(std::string &out, std::string_view text) {
    out += '"';
    size_t plain = 0;  // start of the bytes not yet copied
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t b = static_cast<uint8_t>(text[i]);
        const uint8_t kind = kClass[b];
        if (kind == 0) {
            ++i;
            continue;
        }
        if (kind == 2) {
            size_t valid = 0;
            if (const size_t n = Utf8SequenceLength(text.substr(i), &valid)) {
                i += n;
                continue;
            }
            out.append(text.data() + plain, i - plain);
            out += "\xEF\xBF\xBD";
            i += valid;  // the byte that broke the sequence is read again on its own
            plain = i;
            continue;
        }
        out.append(text.data() + plain, i - plain);
        Escape(out, b);
        plain = ++i;
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
}

}  // namespace

void JsonWriter::Separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (depth_ == 0) return;
    const uint64_t bit = uint64_t{1} << (depth_ - 1);
    if (hasItems_ & bit) out_ += ',';
    hasItems_ |= bit;
}

void JsonWriter::Open(char c) {
    Separate();
    out_ += c;
    ++depth_;
    hasItems_ &= ~(uint64_t{1} << (depth_ - 1));
}

void JsonWriter::Close(char c) {
    out_ += c;
    --depth_;
}

void JsonWriter::Key(std::string_view name) {
    Separate();
    AppendString(out_, name);
    out_ += ':';
    afterKey_ = true;
}

void JsonWriter::String(std::string_view text) {
    Separate();
    AppendString(out_, text);
}

void JsonWriter::Int(int64_t value) {
    Separate();
    char text[24];
    out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void JsonWriter::Uint(uint64_t value) {
    Separate();
    char text[24];
    out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void JsonWriter::Double(double value) {
    if (!std::isfinite(value)) {
        Null();
        return;
    }
    Separate();
    // The library's own shortest-form conversion, so figures keep the exact digits they always had.
    char text[64];
    out_.append(text, nlohmann::detail::to_chars(text, text + sizeof text, value));
}

void JsonWriter::Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    Separate();
    out_ += "null";
}

std::string JsonString(std::string_view text) {
    std::string out;
    AppendString(out, text);
    return out;
}
