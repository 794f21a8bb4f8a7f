// A streaming JSON writer for the dashboard's large documents: appends to one string, no tree in between.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>

// Writes compact JSON (no spaces) into out. The output is byte for byte what
// nlohmann-json's dump() writes for the same values (UTF-8 kept, control
// characters as \u00xx, the same number forms), with <, > and & written as
// \u escapes so the text stays inert inside an HTML page. Bytes that are not
// UTF-8 become U+FFFD as that library's "replace" handler does. Nesting is
// at most 64 deep; the caller keeps begins and ends paired. Every JSON
// document the server writes goes through it; the JSON library only parses.
class JsonWriter {
public:
    explicit JsonWriter(std::string &out) : out_(out) {}

    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    // The name of the next member of the object being written.
    void Key(std::string_view name);

    void String(std::string_view text);
    void Int(int64_t value);
    void Uint(uint64_t value);
    // A number, or null when it is not finite.
    void Double(double value);
    void Bool(bool value);
    void Null();
    void Double(const std::optional<double> &value) { value ? Double(*value) : Null(); }

    // Key and value in one call.
    template <typename T>
    void Member(std::string_view name, const T &value) {
        Key(name);
        Value(value);
    }

private:
    void Value(std::string_view v) { String(v); }
    void Value(const std::string &v) { String(v); }
    void Value(const char *v) { String(v); }
    void Value(bool v) { Bool(v); }
    void Value(double v) { Double(v); }
    void Value(const std::optional<double> &v) { Double(v); }
    void Value(std::nullptr_t) { Null(); }
    template <typename T>
    void Value(T v) {
        if constexpr (std::is_signed_v<T>) {
            Int(static_cast<int64_t>(v));
        } else {
            Uint(static_cast<uint64_t>(v));
        }
    }

    void Separate();  // the comma before a value that is not the first of its container
    void Open(char c);
    void Close(char c);

    std::string &out_;
    uint64_t hasItems_ = 0;  // bit d: the container at depth d holds something already
    int depth_ = 0;
    bool afterKey_ = false;
};

// The text as the writer writes a string, quotes included.
std::string JsonString(std::string_view text);
