// The query strings of the document routes: GET /cpus.json and GET /history.json.
#pragma once

#include "cpu_page.h"
#include "history_json.h"

#include <cstdint>
#include <string>
#include <string_view>

// Reads job, stalled, sort, offset and limit from a query string (other
// names are ignored). False with error set for a value that is not one of
// them: job a whole number, stalled 0 or 1, sort "table" or "cpu" (a leading
// '-' for descending), offset a whole number, limit 1 to kCpuPageMax.
bool ParseCpuQuery(std::string_view query, CpuQuery &out, std::string &error);

// Reads limit (1 to kHistoryPageMax) from a query string; other names are
// ignored. False with error set for a bad value.
bool ParseHistoryQuery(std::string_view query, uint32_t &limit, std::string &error);
