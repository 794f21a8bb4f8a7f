// One page of the per-CPU table (GET /cpus.json): the query's parameters (parsed by the dashboard), the rows it selects and their JSON.
#pragma once

#include "snapshot.h"

#include <cstdint>
#include <string>
#include <string_view>

// Rows a page may hold at most, and when the query names no limit.
inline constexpr uint32_t kCpuPageMax = 500;
inline constexpr uint32_t kCpuPageDefault = 100;

struct CpuQuery {
    uint32_t job = 0;  // 0: every job
    bool stalledOnly = false;  // only the stalled CPUs
    enum class Sort { Table, Cpu } sort = Sort::Table;  // the report's order (job, then CPU), or by CPU number
    bool descending = false;
    uint64_t offset = 0;  // rows of the selection to skip
    uint32_t limit = kCpuPageDefault;
};

// {"generation", "total" (rows the filter selects), "offset", "limit", "cpus": [the page]}.
std::string CpuPageJson(const WebSnapshot &snapshot, const CpuQuery &query);
