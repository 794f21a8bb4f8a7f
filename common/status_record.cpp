// The wire table of the status message and the codec that walks it.
#include "status_record.h"

#include <cstdio>

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

static_assert(std::is_standard_layout_v<StatusRecord>);
static_assert(std::is_trivially_copyable_v<StatusRecord>);

namespace {

#define PELLICK_INT(f) \
    FieldDesc { FieldKind::Int, offsetof(StatusRecord, f), sizeof(StatusRecord::f), sizeof(StatusRecord::f) }
#define PELLICK_RAW(f) \
    FieldDesc { FieldKind::Raw, offsetof(StatusRecord, f), sizeof(StatusRecord::f), sizeof(StatusRecord::f) }

constexpr std::array<FieldDesc, 38> kWireOrder = {{
    PELLICK_RAW(signature),
    PELLICK_INT(passesPerFrame),
    PELLICK_INT(passesDone),
    PELLICK_INT(totalPasses),
    PELLICK_INT(lastPassTime),
    PELLICK_INT(averageFrameTime),
    PELLICK_INT(averagePassTime),
    PELLICK_INT(reserved),
    PELLICK_INT(elapsedTime),
    PELLICK_INT(recentPassTime),
    PELLICK_INT(passesPerFrameFixed),
    PELLICK_INT(firstRenderedFrame),
    PELLICK_INT(passStartTime),
    PELLICK_INT(startTime),
    PELLICK_INT(currentFrame),
    PELLICK_INT(cpuIndex),
    PELLICK_RAW(sceneFile),
    PELLICK_INT(sceneLastFrame),
    PELLICK_INT(scene52),
    PELLICK_INT(sceneFirstFrame),
    PELLICK_INT(sceneFrameStep),
    PELLICK_INT(scene48),
    PELLICK_INT(scene72),
    PELLICK_INT(scene76),
    PELLICK_INT(scene80),
    PELLICK_INT(scene84),
    PELLICK_INT(scene68),
    PELLICK_INT(scene64),
    PELLICK_RAW(sceneName),
    PELLICK_INT(scene08),
    PELLICK_INT(scene12),
    PELLICK_INT(scene88),
    PELLICK_INT(scene20),
    PELLICK_INT(scene16),
    PELLICK_RAW(sceneText40),
    PELLICK_RAW(sceneText56),
    PELLICK_INT(sceneFileTime),
    PELLICK_INT(sceneFileSize),
}};

// The job identity in comparison order.
constexpr std::array<FieldDesc, 22> kIdentityOrder = {{
    PELLICK_RAW(sceneName),       PELLICK_RAW(sceneFile),      PELLICK_INT(scene08),
    PELLICK_INT(scene12),         PELLICK_INT(scene16),        PELLICK_INT(scene20),
    PELLICK_INT(sceneFirstFrame), PELLICK_INT(sceneLastFrame), PELLICK_INT(sceneFrameStep),
    PELLICK_RAW(sceneText40),     PELLICK_INT(scene48),        PELLICK_INT(scene52),
    PELLICK_RAW(sceneText56),     PELLICK_INT(scene64),        PELLICK_INT(scene68),
    PELLICK_INT(scene72),         PELLICK_INT(scene76),        PELLICK_INT(scene80),
    PELLICK_INT(scene84),         PELLICK_INT(scene88),        PELLICK_INT(sceneFileTime),
    PELLICK_INT(sceneFileSize),
}};

#undef PELLICK_INT
#undef PELLICK_RAW

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

bool FitsRecord(const FieldDesc &d, size_t bytes) {
    return d.offset <= sizeof(StatusRecord) && bytes <= sizeof(StatusRecord) - d.offset;
}

// Copies an integer field whose wire size equals its width; constant sizes let the compiler inline it.
void CopyInt(uint8_t *dst, const uint8_t *src, uint16_t size) {
    switch (size) {
    case 1: dst[0] = src[0]; break;
    case 2: std::memcpy(dst, src, 2); break;
    case 4: std::memcpy(dst, src, 4); break;
    case 8: std::memcpy(dst, src, 8); break;
    default: std::memcpy(dst, src, 16); break;
    }
}

bool IntWidthOk(uint16_t w) { return w == 1 || w == 2 || w == 4 || w == 8 || w == 16; }

uint64_t LoadInt(const uint8_t *p, uint16_t width) {
    switch (width) {
    case 1: return p[0];
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    default: { uint64_t v; std::memcpy(&v, p, 8); return v; }
    }
}

void StoreInt(uint8_t *p, uint16_t width, uint64_t v) {
    switch (width) {
    case 1: p[0] = static_cast<uint8_t>(v); break;
    case 2: { auto x = static_cast<uint16_t>(v); std::memcpy(p, &x, 2); break; }
    case 4: { auto x = static_cast<uint32_t>(v); std::memcpy(p, &x, 4); break; }
    default: std::memcpy(p, &v, 8); break;
    }
}

}  // namespace

const FieldTable kFieldTable = {static_cast<uint32_t>(kWireOrder.size()), kWireOrder.data()};

uint32_t MessageLength(const FieldTable &table) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < table.count; ++i) total += table.entries[i].size;
    return total;
}

size_t EncodeRecord(const StatusRecord &record, const FieldTable &table, std::span<uint8_t> out) {
    const auto *rec = reinterpret_cast<const uint8_t *>(&record);
    size_t pos = 0;
    for (uint32_t i = 0; i < table.count; ++i) {
        const FieldDesc &d = table.entries[i];
        if (d.size > out.size() - pos) break;
        uint8_t *dst = out.data() + pos;
        if (d.kind == FieldKind::Raw) {
            if (!FitsRecord(d, d.size)) break;
            std::memcpy(dst, rec + d.offset, d.size);
        } else {
            if (!IntWidthOk(d.size) || !IntWidthOk(d.width) || !FitsRecord(d, d.width)) break;
            if (d.size == 16 || d.width == 16) {
                if (d.size != d.width) break;
                std::memcpy(dst, rec + d.offset, 16);
            } else if (kLittleEndian && d.size == d.width) {
                CopyInt(dst, rec + d.offset, d.size);
            } else {
                uint64_t v = LoadInt(rec + d.offset, d.width);
                for (uint16_t b = 0; b < d.size; ++b) dst[b] = static_cast<uint8_t>(v >> (8 * b));
            }
        }
        pos += d.size;
    }
    return pos;
}

size_t DecodeRecord(std::span<const uint8_t> message, const FieldTable &table, StatusRecord &record) {
    auto *rec = reinterpret_cast<uint8_t *>(&record);
    size_t pos = 0;
    for (uint32_t i = 0; i < table.count; ++i) {
        const FieldDesc &d = table.entries[i];
        if (d.size > message.size() - pos) break;
        const uint8_t *src = message.data() + pos;
        if (d.kind == FieldKind::Raw) {
            if (!FitsRecord(d, d.size)) break;
            std::memcpy(rec + d.offset, src, d.size);
        } else {
            if (!IntWidthOk(d.size) || !IntWidthOk(d.width) || !FitsRecord(d, d.width)) break;
            if (d.size == 16 || d.width == 16) {
                if (d.size != d.width) break;
                std::memcpy(rec + d.offset, src, 16);
            } else if (kLittleEndian && d.size == d.width) {
                CopyInt(rec + d.offset, src, d.size);
            } else {
                uint64_t v = 0;
                for (uint16_t b = 0; b < d.size; ++b) v |= static_cast<uint64_t>(src[b]) << (8 * b);
                StoreInt(rec + d.offset, d.width, v);
            }
        }
        pos += d.size;
    }
    return pos;
}

bool HasRecordSignature(const StatusRecord &record) {
    return std::memcmp(record.signature, RecordSignature, sizeof RecordSignature) == 0;
}

int CompareJobIdentity(const StatusRecord &a, const StatusRecord &b) {
    const auto *pa = reinterpret_cast<const uint8_t *>(&a);
    const auto *pb = reinterpret_cast<const uint8_t *>(&b);
    for (const FieldDesc &d : kIdentityOrder) {
        if (d.kind == FieldKind::Raw || kLittleEndian) {
            if (int c = std::memcmp(pa + d.offset, pb + d.offset, d.width)) return c;
            continue;
        }
        uint64_t va = LoadInt(pa + d.offset, d.width), vb = LoadInt(pb + d.offset, d.width);
        for (uint16_t k = 0; k < d.width; ++k) {
            int x = static_cast<uint8_t>(va >> (8 * k)), y = static_cast<uint8_t>(vb >> (8 * k));
            if (x != y) return x - y;
        }
    }
    return 0;
}

std::string JobHexId(std::string_view bytes) {
    uint64_t h = 14695981039346656037ULL;  // FNV-1a, 64 bits
    for (const char c : bytes) {
        h ^= static_cast<uint8_t>(c);
        h *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::string JobIdentityBytes(const StatusRecord &record) {
    const auto *p = reinterpret_cast<const uint8_t *>(&record);
    std::string out;
    size_t size = 0;
    for (const FieldDesc &d : kIdentityOrder) size += d.width;
    out.reserve(size);
    for (const FieldDesc &d : kIdentityOrder) {
        if (d.kind == FieldKind::Raw) {
            out.append(reinterpret_cast<const char *>(p + d.offset), d.width);
            continue;
        }
        const uint64_t v = LoadInt(p + d.offset, d.width);
        for (uint16_t k = 0; k < d.width; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
    }
    return out;
}
