// The run history as the dashboard shows it: GET /history.json, one run's JSON for run-end notifications, its metrics, and the job texts a run takes from the report.
#pragma once

#include "run_tracker.h"
#include "snapshot.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What the history thread last published: the newest runs first, without
// their sessions.
struct HistoryView {
    std::vector<RunEntry> runs;
    bool stored = false;  // the database is being written
};

// Where a reader takes the newest published copy (any thread); null when none is kept.
using HistorySource = std::function<std::shared_ptr<const HistoryView>()>;

// Runs /history.json gives at most, and when the query names no limit.
inline constexpr uint32_t kHistoryPageMax = 1000;
inline constexpr uint32_t kHistoryPageDefault = 100;

// Takes a run's end to whoever wants to hear of it (the entry's JSON, as
// /history.json shows it). Called on the history thread.
using RunEndNotifier = std::function<void(std::string_view entryJson)>;

// {"schema": 1, "stored": bool, "runs": [the newest limit runs, newest first]}.
std::string HistoryJson(const HistoryView &view, uint32_t limit);
// One run as an element of runs[].
std::string HistoryEntryJson(const RunEntry &entry);
// The counters and the forecast error histogram, Prometheus text.
std::string HistoryMetricsText(const RunStats &stats);
