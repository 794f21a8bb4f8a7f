// The snapshot as JSON for the page and for other programs, and as Prometheus metrics.
#include "status_json.h"

#include "clock.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

namespace {

using Json = nlohmann::ordered_json;

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond); }

Json Instant(uint64_t fileTime) {
    std::string text = IsoUtc(fileTime);
    return text.empty() ? Json() : Json(std::move(text));
}
Json Instant(const std::optional<uint64_t> &fileTime) { return fileTime ? Instant(*fileTime) : Json(); }

Json Number(const std::optional<double> &value) {
    return value && std::isfinite(*value) ? Json(*value) : Json();
}
Json SecondsOrNull(const std::optional<int64_t> &ticks) { return ticks ? Json(Seconds(*ticks)) : Json(); }

std::optional<double> PerSecond(double throughput) {
    if (!(throughput > 0.0)) return std::nullopt;
    return throughput * static_cast<double>(kTicksPerSecond);
}

// Figures every progress object shares: the overall one and each job's.
void Progress(Json &j, uint64_t done, uint64_t total, const std::optional<double> &passesPerHour, uint64_t start,
              const Estimates &e) {
    j["passesDone"] = done;
    j["totalPasses"] = total;
    j["percent"] = Number(e.percent);
    j["passesPerHour"] = Number(passesPerHour);
    j["secondsPerPass"] = SecondsOrNull(e.timePerPass);
    j["startTime"] = Instant(start);
    j["elapsedSeconds"] = Seconds(e.elapsed);
    j["remainingPasses"] = e.remainingPasses;
    j["remainingSeconds"] = SecondsOrNull(e.remaining);
    j["completion"] = Instant(e.endTime);
}

// In JSON text these three can only stand inside strings, where \u escapes mean the same.
std::string InertMarkup(const std::string &json) {
    std::string out;
    out.reserve(json.size() + 64);
    for (const char c : json) {
        switch (c) {
            case '<': out += "\\u003c"; break;
            case '>': out += "\\u003e"; break;
            case '&': out += "\\u0026"; break;
            default: out += c;
        }
    }
    return out;
}

Json SettingsObject(const WebSettings &settings) {
    return {{"maxScale", settings.maxScale},
            {"resolution", settings.resolution},
            {"stallSeconds", settings.stallSeconds},
            {"htmlOutput", settings.htmlOutput},
            {"htmlPath", settings.htmlPath},
            {"sample", settings.sample}};
}

std::string MetricNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

}  // namespace

std::string StatusJson(const WebSnapshot &s) {
    Json root;
    root["schema"] = 1;
    root["generation"] = s.generation;
    root["now"] = Instant(s.now);
    root["nowUnix"] = UnixSeconds(s.now);
    root["lastUpdate"] = Instant(s.lastUpdate);
    root["lastUpdateText"] = s.lastUpdateText;

    Json fields = Json::array();
    for (int i = 0; i < kFieldCount; ++i) {
        std::string label = kFieldLabels[static_cast<size_t>(i)];
        label.pop_back();  // the colon
        fields.push_back({{"id", kFieldFirstId + i}, {"label", label}, {"text", s.fields[static_cast<size_t>(i)]}});
    }
    root["fields"] = std::move(fields);

    const OverallStats &all = s.overall;
    Json overall;
    overall["activeCpus"] = all.activeCpus;
    overall["stalledCpus"] = all.stalledCpus;
    if (all.activeCpus > 0) {
        Progress(overall, all.doneSum, all.totalSum, all.passesPerHour, all.earliestStart, all.estimates);
    } else {
        Progress(overall, 0, 0, std::nullopt, 0, Estimates{});
        overall["elapsedSeconds"] = nullptr;
    }
    root["overall"] = std::move(overall);

    Json jobs = Json::array();
    for (const WebJob &job : s.jobs) {
        const JobStats &st = job.stats;
        Json j;
        j["job"] = job.number;
        j["id"] = job.id;
        j["sceneName"] = job.sceneName;
        j["sceneFile"] = job.sceneFile;
        j["sceneFileTime"] = Instant(job.sceneFileTime);
        j["sceneFileSize"] = job.sceneFileSize;
        j["frames"] = {{"first", job.firstFrame}, {"last", job.lastFrame}, {"step", job.frameStep}};
        j["cpus"] = st.cpuCount;
        j["stalledCpus"] = st.stalledCpus;
        j["passesPerFrame"] = st.passesPerFrame;
        Progress(j, st.passesDone, st.totalPasses, st.passesPerHour, st.startTime, st.estimates);
        j["framesPerHour"] = Number(st.framesPerHour);
        j["texts"] = {{"secondsPerPass", job.texts.timePerPass}, {"framesPerHour", job.texts.framesPerHour},
                      {"passesPerHour", job.texts.passesPerHour},  {"startTime", job.texts.start},
                      {"elapsed", job.texts.elapsed},              {"remaining", job.texts.remaining},
                      {"completion", job.texts.end}};
        Json points = Json::array();
        for (const HistoryPoint &p : job.history) points.push_back({p.unixSeconds, p.remainingPasses});
        j["history"] = std::move(points);
        jobs.push_back(std::move(j));
    }
    root["jobs"] = std::move(jobs);

    Json cpus = Json::array();
    for (const WebCpu &c : s.cpus) {
        cpus.push_back({{"cpu", c.cpu},
                        {"job", c.job},
                        {"frame", c.frame},
                        {"passes", c.passes},
                        {"averageSeconds", Seconds(c.averageTicks)},
                        {"recentSeconds", Seconds(c.recentTicks)},
                        {"lastSeconds", Seconds(c.lastTicks)},
                        {"lastUpdate", Instant(c.passEnd)},
                        {"stalled", c.stalled},
                        {"texts", {{"average", c.average}, {"recent", c.recent}, {"last", c.last}, {"at", c.at}}}});
    }
    root["cpus"] = std::move(cpus);
    root["connections"] = {{"open", s.connections}, {"waiting", s.waiting}};
    root["messages"] = {{"accepted", s.messagesAccepted}, {"rejected", s.messagesRejected}};
    root["settings"] = SettingsObject(s.settings);
    // Texts are well-formed UTF-8 already; replace keeps a stray byte from ending the dump.
    return InertMarkup(root.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string ErrorJson(const std::string &message) {
    Json j;
    j["error"] = message;
    return InertMarkup(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string ChangeResultJson(bool persisted, const WebSettings *settings) {
    Json j;
    j["ok"] = true;
    j["persisted"] = persisted;
    if (settings) j["settings"] = SettingsObject(*settings);
    return InertMarkup(j.dump(-1, ' ', false, Json::error_handler_t::replace));
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
    family("pellick_messages_accepted_total", "counter", "Status messages with a valid signature.");
    sample("pellick_messages_accepted_total", "", count(s.messagesAccepted));
    family("pellick_messages_rejected_total", "counter", "Status messages rejected for a wrong signature.");
    sample("pellick_messages_rejected_total", "", count(s.messagesRejected));
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
