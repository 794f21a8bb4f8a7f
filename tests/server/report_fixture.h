// Report test fixtures: a fixed, zone- and locale-free date-time writer and client tables built from records.
#pragma once

#include "client_table.h"
#include "clock.h"
#include "format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace reporttest {

constexpr uint64_t kSecond = 10000000;
constexpr int64_t kTickSecond = 10000000;
// 8 December 2026 05:07:19 UTC: "now" of the golden report scenarios.
constexpr uint64_t kNow = 134411800390000000ULL;

// UTC as "M/D/YYYY H:MM:SS AM", so the fragments do not depend on the machine's zone and locale.
inline int FixedDateTime(const uint64_t *instant, char *text, size_t capacity) {
    if (!instant) return 0;
    const UtcFields u = UtcFieldsOf(*instant);
    const int64_t hour12 = u.hour % 12 == 0 ? 12 : u.hour % 12;
    const int n = std::snprintf(text, capacity, "%d/%d/%d %d:%02d:%02d %s", static_cast<int>(u.month),
                                static_cast<int>(u.day), static_cast<int>(u.year), static_cast<int>(hour12),
                                static_cast<int>(u.minute), static_cast<int>(u.second), u.hour < 12 ? "AM" : "PM");
    return n > 0 && static_cast<size_t>(n) < capacity;
}

// Puts a date-time writer in place for a scope.
struct WriterGuard {
    DateTimeWriter saved = g_dateTimeWriter;
    explicit WriterGuard(DateTimeWriter w) { g_dateTimeWriter = w; }
    ~WriterGuard() { g_dateTimeWriter = saved; }
};

// A client table built straight from records, in the order given.
struct TestTable {
    std::vector<ClientEntry> entries;
    ClientTable table{};

    TestTable() { entries.reserve(64); }
    StatusRecord &Add() {
        entries.emplace_back();
        std::memset(&entries.back(), 0, sizeof(ClientEntry));
        entries.back().receivedAt = MonotonicNanos();  // just reported: not stalled
        StatusRecord &r = entries.back().record;
        r.socket = static_cast<int64_t>(entries.size()) + 100;
        return r;
    }
    // A CPU of the golden scenes' "Castle", with data.
    StatusRecord &AddCpu(int32_t cpuIndex, uint64_t sceneFileSize = 1000) {
        StatusRecord &r = Add();
        std::memcpy(r.signature, RecordSignature, sizeof r.signature);
        r.hasData = 1;
        r.cpuIndex = cpuIndex;
        std::strcpy(r.sceneName, "Castle");
        std::strcpy(r.sceneFile, "C:\\scenes\\castle.lws");
        r.sceneFirstFrame = 1;
        r.sceneLastFrame = 25;
        r.sceneFrameStep = 1;
        r.sceneFileTime = kNow - 86400 * kSecond;
        r.sceneFileSize = sceneFileSize;
        r.firstRenderedFrame = -1;
        return r;
    }
    const ClientTable &Get() {
        table.count = static_cast<uint32_t>(entries.size());
        table.entries = entries.data();
        return table;
    }
};

}  // namespace reporttest
