// The snapshot as JSON for the page and for other programs, and as Prometheus metrics.
#include "status_json.h"

#include "clock.h"
#include "json_writer.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond); }

void Instant(JsonWriter &w, std::string_view name, uint64_t fileTime) {
    w.Key(name);
    const std::string text = IsoUtc(fileTime);
    text.empty() ? w.Null() : w.String(text);
}
void Instant(JsonWriter &w, std::string_view name, const std::optional<uint64_t> &fileTime) {
    fileTime ? Instant(w, name, *fileTime) : w.Member(name, nullptr);
}
void SecondsOrNull(JsonWriter &w, std::string_view name, const std::optional<int64_t> &ticks) {
    ticks ? w.Member(name, Seconds(*ticks)) : w.Member(name, nullptr);
}

std::optional<double> PerSecond(double throughput) {
    if (!(throughput > 0.0)) return std::nullopt;
    return throughput * static_cast<double>(kTicksPerSecond);
}

// Figures every progress object shares: the overall one and each job's.
// Without elapsed time (nothing renders) elapsedSeconds is null.
void Progress(JsonWriter &w, uint64_t done, uint64_t total, const std::optional<double> &passesPerHour, uint64_t start,
              const Estimates &e, bool elapsed = true) {
    w.Member("passesDone", done);
    w.Member("totalPasses", total);
    w.Member("percent", e.percent);
    w.Member("passesPerHour", passesPerHour);
    SecondsOrNull(w, "secondsPerPass", e.timePerPass);
    Instant(w, "startTime", start);
    elapsed ? w.Member("elapsedSeconds", Seconds(e.elapsed)) : w.Member("elapsedSeconds", nullptr);
    w.Member("remainingPasses", e.remainingPasses);
    SecondsOrNull(w, "remainingSeconds", e.remaining);
    Instant(w, "completion", e.endTime);
}

void WriteSettings(JsonWriter &w, const WebSettings &settings) {
    w.BeginObject();
    w.Member("maxScale", settings.maxScale);
    w.Member("resolution", settings.resolution);
    w.Member("stallSeconds", settings.stallSeconds);
    w.Member("htmlOutput", settings.htmlOutput);
    w.Member("htmlPath", settings.htmlPath);
    w.Key("htmlError");
    settings.htmlError.empty() ? w.Null() : w.String(settings.htmlError);
    w.Member("sample", settings.sample);
    w.Member("webhook", settings.webhook);
    w.Member("maxCpusPerAddress", settings.maxCpusPerAddress);
    w.Key("statusNetworks");
    if (settings.statusNetworksRestricted) {
        w.BeginArray();
        for (const std::string &n : settings.statusNetworks) w.String(n);
        w.EndArray();
    } else {
        w.Null();
    }
    w.EndObject();
}

int64_t Step(int64_t unixSeconds, int64_t step) { return unixSeconds >= 0 ? unixSeconds / step : (unixSeconds + 1) / step - 1; }

// historyStep: at most one point per that many seconds (besides the newest); 1 keeps every point.
void WriteJob(JsonWriter &w, const WebJob &job, int64_t historyStep) {
    const JobStats &st = job.stats;
    w.BeginObject();
    w.Member("job", job.number);
    w.Member("id", job.id);
    w.Member("sceneName", job.sceneName);
    w.Member("sceneFile", job.sceneFile);
    Instant(w, "sceneFileTime", job.sceneFileTime);
    w.Member("sceneFileSize", job.sceneFileSize);
    w.Key("frames");
    w.BeginObject();
    w.Member("first", job.firstFrame);
    w.Member("last", job.lastFrame);
    w.Member("step", job.frameStep);
    w.EndObject();
    w.Member("cpus", st.cpuCount);
    w.Member("stalledCpus", st.stalledCpus);
    w.Member("passesPerFrame", st.passesPerFrame);
    Progress(w, st.passesDone, st.totalPasses, st.passesPerHour, st.startTime, st.estimates);
    w.Member("framesPerHour", st.framesPerHour);
    w.Key("texts");
    w.BeginObject();
    w.Member("secondsPerPass", job.texts.timePerPass);
    w.Member("framesPerHour", job.texts.framesPerHour);
    w.Member("passesPerHour", job.texts.passesPerHour);
    w.Member("startTime", job.texts.start);
    w.Member("elapsed", job.texts.elapsed);
    w.Member("remaining", job.texts.remaining);
    w.Member("completion", job.texts.end);
    w.EndObject();
    w.Key("history");
    w.BeginArray();
    const std::vector<HistoryPoint> &points = job.history;
    for (size_t i = 0; i < points.size(); ++i) {
        const HistoryPoint &p = points[i];
        // Thinned: the first point of each step and the newest, so a job's line stays a few KB.
        const bool last = i + 1 == points.size();
        if (historyStep > 1 && !last && i > 0 &&
            Step(points[i - 1].unixSeconds, historyStep) == Step(p.unixSeconds, historyStep)) {
            continue;
        }
        w.BeginArray();
        w.Int(p.unixSeconds);
        w.Uint(p.remainingPasses);
        w.EndArray();
    }
    w.EndArray();
    w.EndObject();
}

}  // namespace

void WriteCpuJson(JsonWriter &w, const WebCpu &c) {
    w.BeginObject();
    w.Member("cpu", c.cpu);
    w.Member("job", c.job);
    w.Member("frame", c.frame);
    w.Member("passes", c.passes);
    w.Member("averageSeconds", Seconds(c.averageTicks));
    w.Member("recentSeconds", Seconds(c.recentTicks));
    w.Member("lastSeconds", Seconds(c.lastTicks));
    Instant(w, "lastUpdate", c.passEnd);
    w.Member("stalled", c.stalled);
    w.Key("texts");
    w.BeginObject();
    w.Member("average", c.average);
    w.Member("recent", c.recent);
    w.Member("last", c.last);
    w.Member("at", c.at);
    w.EndObject();
    w.EndObject();
}

namespace {

// The status document; without the CPUs it is the live stream's summary.
std::string Document(const WebSnapshot &s, bool withCpus) {
    std::string out;
    out.reserve(1024 + s.jobs.size() * 1024 + (withCpus ? s.cpus.size() * 260 : 0));
    JsonWriter w(out);
    w.BeginObject();
    w.Member("schema", 1);
    w.Member("generation", s.generation);
    Instant(w, "now", s.now);
    w.Member("nowUnix", UnixSeconds(s.now));
    Instant(w, "lastUpdate", s.lastUpdate);
    w.Member("lastUpdateText", s.lastUpdateText);

    w.Key("fields");
    w.BeginArray();
    for (int i = 0; i < kFieldCount; ++i) {
        std::string_view label = kFieldLabels[static_cast<size_t>(i)];
        label.remove_suffix(1);  // the colon
        w.BeginObject();
        w.Member("id", kFieldFirstId + i);
        w.Member("label", label);
        w.Member("text", s.fields[static_cast<size_t>(i)]);
        w.EndObject();
    }
    w.EndArray();

    const OverallStats &all = s.overall;
    w.Key("overall");
    w.BeginObject();
    w.Member("activeCpus", all.activeCpus);
    w.Member("stalledCpus", all.stalledCpus);
    if (all.activeCpus > 0) {
        Progress(w, all.doneSum, all.totalSum, all.passesPerHour, all.earliestStart, all.estimates);
    } else {
        Progress(w, 0, 0, std::nullopt, 0, Estimates{}, false);
    }
    w.EndObject();

    w.Key("jobs");
    w.BeginArray();
    for (const WebJob &job : s.jobs) WriteJob(w, job, withCpus ? 1 : kSummaryHistorySeconds);
    w.EndArray();

    if (withCpus) {
        w.Key("cpus");
        w.BeginArray();
        for (const WebCpu &c : s.cpus) WriteCpuJson(w, c);
        w.EndArray();
    }
    w.Key("connections");
    w.BeginObject();
    w.Member("open", s.connections);
    w.Member("waiting", s.waiting);
    w.Key("refused");
    w.BeginObject();
    w.Member("perAddress", s.refused.perAddress);
    w.Member("network", s.refused.network);
    w.Member("descriptors", s.refused.descriptors);
    w.EndObject();
    w.EndObject();
    w.Key("messages");
    w.BeginObject();
    w.Member("accepted", s.messagesAccepted);
    w.Member("rejected", s.messagesRejected);
    w.EndObject();
    w.Key("settings");
    WriteSettings(w, s.settings);
    w.EndObject();
    return out;
}

std::string MetricNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

}  // namespace

std::string StatusJson(const WebSnapshot &s) { return Document(s, true); }

std::string SummaryJson(const WebSnapshot &s) { return Document(s, false); }

std::string ErrorJson(const std::string &message) {
    std::string out;
    JsonWriter w(out);
    w.BeginObject();
    w.Member("error", message);
    w.EndObject();
    return out;
}

std::string ChangeResultJson(bool persisted, const WebSettings *settings) {
    std::string out;
    JsonWriter w(out);
    w.BeginObject();
    w.Member("ok", true);
    w.Member("persisted", persisted);
    if (settings) {
        w.Key("settings");
        WriteSettings(w, *settings);
    }
    w.EndObject();
    return out;
}

std::string MetricsLabelValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

std::string MetricsText(const WebSnapshot &s) {
    std::string out;
    out.reserve(1024 + s.jobs.size() * 600);
    const auto family = [&](const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    };
    const auto sample = [&](const char *name, const std::string &labels, double value) {
        out += name;
        out += labels;
        out += ' ';
        out += MetricNumber(value);
        out += '\n';
    };
    const auto count = [](uint64_t v) { return static_cast<double>(v); };

    family("pellick_active_cpus", "gauge", "CPUs that have sent a valid status message.");
    sample("pellick_active_cpus", "", s.overall.activeCpus);
    family("pellick_connections_open", "gauge", "Status connections open, reporting or not yet.");
    sample("pellick_connections_open", "", s.connections);
    family("pellick_connections_refused_total", "counter",
           "Status connections the server closed by its limits: per_address (the peer held MaxCpusPerAddress), "
           "network (outside StatusNetworks), descriptors (silent, closed oldest first to make room).");
    sample("pellick_connections_refused_total", "{reason=\"per_address\"}", count(s.refused.perAddress));
    sample("pellick_connections_refused_total", "{reason=\"network\"}", count(s.refused.network));
    sample("pellick_connections_refused_total", "{reason=\"descriptors\"}", count(s.refused.descriptors));
    family("pellick_messages_accepted_total", "counter", "Status messages with a valid signature.");
    sample("pellick_messages_accepted_total", "", count(s.messagesAccepted));
    family("pellick_messages_rejected_total", "counter", "Status messages rejected for a wrong signature.");
    sample("pellick_messages_rejected_total", "", count(s.messagesRejected));
    family("pellick_records_implausible_total", "counter",
           "Status messages whose record cannot be true, shown live but kept out of the run history.");
    sample("pellick_records_implausible_total", "", count(s.recordsImplausible));
    family("pellick_jobs", "gauge", "Jobs being rendered.");
    sample("pellick_jobs", "", static_cast<double>(s.jobs.size()));

    std::vector<std::string> labels;
    labels.reserve(s.jobs.size());
    for (const WebJob &job : s.jobs) {
        labels.push_back("{job_number=\"" + std::to_string(job.number) + "\",id=\"" + job.id + "\",scene=\"" +
                         MetricsLabelValue(job.sceneName) + "\"}");
    }
    const auto perJob = [&](const char *name, const char *type, const char *help, auto value) {
        if (s.jobs.empty()) return;
        family(name, type, help);
        for (size_t i = 0; i < s.jobs.size(); ++i) {
            if (const std::optional<double> v = value(s.jobs[i])) sample(name, labels[i], *v);
        }
    };
    using Opt = std::optional<double>;
    perJob("pellick_job_cpus", "gauge", "CPUs rendering the job.",
           [&](const WebJob &j) { return Opt(j.stats.cpuCount); });
    perJob("pellick_job_stalled_cpus", "gauge",
           "CPUs of the job silent for longer than the stall time, left out of its throughput.",
           [&](const WebJob &j) { return Opt(j.stats.stalledCpus); });
    perJob("pellick_job_passes_done", "gauge", "Passes rendered, summed over the job's CPUs.",
           [&](const WebJob &j) { return Opt(count(j.stats.passesDone)); });
    perJob("pellick_job_passes_estimated", "gauge", "Estimated passes of the whole job.",
           [&](const WebJob &j) { return Opt(j.stats.totalPasses); });
    perJob("pellick_job_remaining_seconds", "gauge", "Estimated time to finish the job (absent while unknown).",
           [&](const WebJob &j) {
               const auto &r = j.stats.estimates.remaining;
               return r ? Opt(Seconds(*r)) : std::nullopt;
           });
    perJob("pellick_job_throughput_passes_per_second", "gauge", "Recent passes per second of all the job's CPUs.",
           [&](const WebJob &j) { return PerSecond(j.stats.throughput); });
    return out;
}
