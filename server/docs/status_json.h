// The dashboard's data: the snapshot as JSON (GET /status.json, the live summary, pages of CPUs) and as Prometheus text (GET /metrics).
#pragma once

#include "json_writer.h"
#include "snapshot.h"

#include <string>

// The snapshot as one line of JSON (no line breaks, so it fits one event of
// a server-sent event stream). Every text is UTF-8; <, > and & are written as
// \u escapes, so the text stays inert even inside an HTML page.
std::string StatusJson(const WebSnapshot &snapshot);
// The same without the per-CPU table, so its size is bounded by the number
// of jobs: the data of every live event. Each job's history keeps the first
// point of every kSummaryHistorySeconds and the newest, so an hour of it is
// about 1 KB, not 14.
inline constexpr int64_t kSummaryHistorySeconds = 60;
std::string SummaryJson(const WebSnapshot &snapshot);
// One element of the document's cpus[] (the CPU pages use it too).
void WriteCpuJson(JsonWriter &writer, const WebCpu &cpu);

// {"error": message}, for answers that refuse a request.
std::string ErrorJson(const std::string &message);
// The answer to an accepted option change: whether the settings store took
// it, and the settings now in force (when known).
std::string ChangeResultJson(bool persisted, const WebSettings *settings);

// Prometheus text exposition format, version 0.0.4.
std::string MetricsText(const WebSnapshot &snapshot);
// Label value escaping of that format: backslash, double quote and line feed.
std::string MetricsLabelValue(std::string_view text);
