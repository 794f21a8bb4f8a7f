// The run history's JSON and metrics, and the job texts runs take from the report.
#include "history_json.h"

#include "clock.h"
#include "json_writer.h"
#include "wire_text.h"

#include <charconv>

namespace {

double Seconds(uint64_t ticks) { return static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond); }

void Instant(JsonWriter &w, std::string_view name, const std::optional<uint64_t> &fileTime) {
    w.Key(name);
    const std::string text = fileTime ? IsoUtc(*fileTime) : std::string();
    text.empty() ? w.Null() : w.String(text);
}

void WriteEntry(JsonWriter &w, const RunEntry &e) {
    w.BeginObject();
    w.Member("run", e.run);
    w.Member("id", e.jobId);
    w.Member("sceneName", e.sceneName);
    w.Member("sceneFile", e.sceneFile);
    w.Key("frames");
    w.BeginObject();
    w.Member("first", e.firstFrame);
    w.Member("last", e.lastFrame);
    w.Member("step", e.frameStep);
    w.EndObject();
    Instant(w, "firstSeen", e.firstSeen);
    Instant(w, "lastSeen", e.lastSeen);
    Instant(w, "end", e.endedAt);
    const uint64_t until = e.endedAt.value_or(e.lastSeen);
    w.Member("durationSeconds", until > e.firstSeen ? Seconds(until - e.firstSeen) : 0.0);
    w.Member("peakCpus", e.peakCpus);
    w.Member("passesDone", e.passesDone);
    w.Member("totalPasses", e.totalPasses);
    w.Member("outcome", RunOutcomeName(e.outcome));
    w.Member("meanAbsErrorRatio", e.meanAbsError);
    w.Key("forecasts");
    w.BeginArray();
    for (const Forecast &f : e.forecasts) {
        w.BeginObject();
        w.Member("percent", f.percent);
        Instant(w, "at", f.at);
        Instant(w, "predictedCompletion", f.predicted);
        w.Member("errorRatio", f.errorRatio);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

std::string Number(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

}  // namespace

std::string HistoryJson(const HistoryView &view, uint32_t limit) {
    std::string out;
    const size_t count = std::min<size_t>(limit, view.runs.size());
    out.reserve(64 + count * 700);
    JsonWriter w(out);
    w.BeginObject();
    w.Member("schema", 1);
    w.Member("stored", view.stored);
    w.Key("runs");
    w.BeginArray();
    for (size_t i = 0; i < count; ++i) WriteEntry(w, view.runs[i]);
    w.EndArray();
    w.EndObject();
    return out;
}

std::string HistoryEntryJson(const RunEntry &entry) {
    std::string out;
    JsonWriter w(out);
    WriteEntry(w, entry);
    return out;
}

std::string HistoryMetricsText(const RunStats &s) {
    std::string out;
    out += "# HELP pellick_jobs_finished_total Job runs that ended since the server started, by outcome.\n";
    out += "# TYPE pellick_jobs_finished_total counter\n";
    out += "pellick_jobs_finished_total{outcome=\"complete\"} " + std::to_string(s.complete) + "\n";
    out += "pellick_jobs_finished_total{outcome=\"interrupted\"} " + std::to_string(s.interrupted) + "\n";
    out += "# HELP pellick_forecast_abs_error_ratio Absolute error of completed runs' forecasts, relative to the time "
           "left when each was made.\n";
    out += "# TYPE pellick_forecast_abs_error_ratio histogram\n";
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kForecastErrorBuckets.size(); ++b) {
        cumulative += s.errorBuckets[b];
        out += "pellick_forecast_abs_error_ratio_bucket{le=\"" + Number(kForecastErrorBuckets[b]) + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    out += "pellick_forecast_abs_error_ratio_bucket{le=\"+Inf\"} " + std::to_string(s.errorCount) + "\n";
    out += "pellick_forecast_abs_error_ratio_sum " + Number(s.errorSum) + "\n";
    out += "pellick_forecast_abs_error_ratio_count " + std::to_string(s.errorCount) + "\n";
    return out;
}
