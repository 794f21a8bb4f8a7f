// Shared pieces of the fuzz targets: a reader that takes typed values from the fuzzer's bytes, and a check that stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

// A failed invariant is a finding: print it and abort, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                         \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                        \
            std::fprintf(stderr, "\n");                                               \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

// Takes values from the front of the input; past its end every value is 0 and every span empty.
class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return size_ == 0; }
    size_t Left() const { return size_; }

    uint8_t Byte() {
        if (size_ == 0) return 0;
        const uint8_t b = *data_;
        ++data_;
        --size_;
        return b;
    }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
    uint64_t U64() { return static_cast<uint64_t>(U32()) | static_cast<uint64_t>(U32()) << 32; }

    // Up to n bytes, fewer at the end of the input.
    std::span<const uint8_t> Take(size_t n) {
        if (n > size_) n = size_;
        std::span<const uint8_t> part(data_, n);
        data_ += n;
        size_ -= n;
        return part;
    }
    std::span<const uint8_t> Rest() { return Take(size_); }

private:
    const uint8_t *data_;
    size_t size_;
};
