// Building the dashboard snapshot from a refresh's report data, and the per-job burn-down history.
#include "snapshot.h"

#include "clock.h"
#include "format.h"
#include "settings.h"
#include "wire_text.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace {

std::string Text(const char *buffer) { return WireText(FieldBytes(buffer, kFormatBufferSize)); }

std::string Duration(int64_t ticks, const DisplayForm &form) {
    char text[kFormatBufferSize];
    FormatDuration(ticks, form, text);
    return Text(text);
}
std::string Duration(const std::optional<int64_t> &ticks, const DisplayForm &form) {
    return ticks ? Duration(*ticks, form) : "-";
}

std::string Rate(const std::optional<double> &value, const DisplayForm &form) {
    if (!value) return "-";
    char text[kFormatBufferSize];
    FormatRate(*value, form, text);
    return Text(text);
}

std::string DateTime(uint64_t instant) {
    char text[kFormatBufferSize];
    FormatDateTime(&instant, text, sizeof text);
    return Text(text);
}
std::string DateTime(const std::optional<uint64_t> &instant) { return instant ? DateTime(*instant) : "-"; }

}  // namespace

int64_t UnixSeconds(uint64_t fileTime) {
    return static_cast<int64_t>(fileTime / kTicksPerSecond) - static_cast<int64_t>(kUnixEpochSeconds);
}

std::string IsoUtc(uint64_t fileTime) {
    // 10000-01-01T00:00:00Z in file time: nothing later is written as four digits.
    constexpr uint64_t kYear10000 = 2650467744000000000ULL;
    if (fileTime == 0 || fileTime >= kYear10000) return {};
    const UtcFields u = UtcFieldsOf(fileTime);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(u.year),
                  static_cast<int>(u.month), static_cast<int>(u.day), static_cast<int>(u.hour),
                  static_cast<int>(u.minute), static_cast<int>(u.second));
    return text;
}

const std::deque<HistoryPoint> &JobHistory::Record(const std::string &identity, int64_t t, uint64_t remaining) {
    auto found = jobs_.find(identity);
    if (found == jobs_.end()) {
        if (jobs_.size() >= kMaxJobs) {
            auto oldest = jobs_.begin();
            for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
                if (it->second.lastSeen < oldest->second.lastSeen) oldest = it;
            }
            jobs_.erase(oldest);
        }
        found = jobs_.emplace(identity, Line{}).first;
    }
    Line &line = found->second;
    line.lastSeen = t;
    std::deque<HistoryPoint> &points = line.points;
    if (!points.empty() && t < points.back().unixSeconds) points.clear();
    // The newest value replaces the last point while that one is less than a
    // step after the point before it: the line always ends at the present, and
    // any two points two apart are a step apart (at most two per step).
    const size_t n = points.size();
    if (n >= 2 && t - points[n - 2].unixSeconds < kStepSeconds) {
        points.back() = {t, remaining};
    } else {
        points.push_back({t, remaining});
    }
    while (!points.empty() && points.front().unixSeconds < t - kWindowSeconds) points.pop_front();
    return points;
}

void JobHistory::Expire(int64_t t) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (it->second.lastSeen < t - kWindowSeconds) {
            it = jobs_.erase(it);
        } else {
            ++it;
        }
    }
}

WebCpu MakeWebCpu(const CpuRow &row, const DisplayForm &form) {
    const StatusRecord &r = *row.record;
    WebCpu cpu;
    cpu.cpu = static_cast<int64_t>(r.cpuIndex) + 1;
    cpu.job = row.job;
    cpu.frame = r.currentFrame;
    cpu.passes = r.passesDone;
    cpu.averageTicks = row.averagePassTime;
    cpu.recentTicks = r.recentPassTime;
    cpu.lastTicks = r.lastPassTime;
    cpu.passEnd = row.passEnd;
    cpu.stalled = row.stalled;
    cpu.average = Duration(row.averagePassTime, form);
    cpu.recent = Duration(r.recentPassTime, form);
    cpu.last = Duration(r.lastPassTime, form);
    cpu.at = DateTime(row.passEnd);
    return cpu;
}

void BuildSnapshot(const ClientTable &table, const StatusReport &report, const ServerSettings &settings,
                   JobHistory &history, WebSnapshot &out) {
    BuildSnapshot(table, report, JobInfos(report.data), settings, history, out);
}

void BuildSnapshot(const ClientTable &table, const StatusReport &report, const std::vector<RunJobInfo> &jobInfos,
                   const ServerSettings &settings, JobHistory &history, WebSnapshot &out) {
    const ReportData &data = report.data;
    const DisplayForm form = settings.Form();
    out.now = data.now;
    out.lastUpdate = data.lastUpdate;
    out.lastUpdateText = DateTime(data.lastUpdate);
    for (int i = 0; i < kFieldCount; ++i) out.fields[static_cast<size_t>(i)] = Text(report.fields.text[i]);
    out.overall = data.overall;
    out.connections = table.count;
    out.messagesAccepted = table.messagesAccepted;
    out.messagesRejected = table.messagesRejected;
    out.recordsImplausible = table.recordsImplausible;
    out.settings.maxScale = settings.maxScale;
    out.settings.resolution = settings.resolution;
    out.settings.stallSeconds = settings.stallSeconds;
    out.settings.htmlOutput = settings.htmlOutput != 0;
    out.settings.htmlPath = WireText(settings.htmlPath);
    out.settings.htmlError = WireText(report.htmlError);
    out.settings.webhook = WebhookShown(settings.webhook);
    out.settings.sample = Duration(kSampleDurationTicks, form);
    out.refused = table.refused;
    out.settings.maxCpusPerAddress = settings.maxCpusPerAddress;
    out.settings.statusNetworksRestricted = settings.statusNetworks.restricted;
    out.settings.statusNetworks.clear();
    for (const Ipv4Network &n : settings.statusNetworks.networks) out.settings.statusNetworks.push_back(NetworkText(n));
    out.fragment = report.html;

    std::vector<const StatusRecord *> firstOfJob(data.jobs.size(), nullptr);
    out.cpus.clear();
    out.cpus.reserve(data.rows.size());
    out.waiting = 0;
    for (const CpuRow &row : data.rows) {
        if (!row.job) {
            out.waiting += 1;
            continue;
        }
        const StatusRecord &r = *row.record;
        if (row.job <= firstOfJob.size() && !firstOfJob[row.job - 1]) firstOfJob[row.job - 1] = &r;
        out.cpus.push_back(MakeWebCpu(row, form));
    }

    const int64_t nowSeconds = UnixSeconds(data.now);
    history.Expire(nowSeconds);
    out.jobs.clear();
    out.jobs.reserve(data.jobs.size());
    for (size_t j = 0; j < data.jobs.size(); ++j) {
        const JobStats &stats = data.jobs[j];
        WebJob job;
        job.number = static_cast<uint32_t>(j + 1);
        job.stats = stats;
        if (const StatusRecord *r = firstOfJob[j]; r && j < jobInfos.size()) {
            const RunJobInfo &info = jobInfos[j];
            const std::string &identity = info.identity;
            job.id = info.jobId;
            job.sceneName = info.sceneName;
            job.sceneFile = info.sceneFile;
            job.sceneFileTime = r->sceneFileTime;
            job.sceneFileSize = r->sceneFileSize;
            job.firstFrame = r->sceneFirstFrame;
            job.lastFrame = r->sceneLastFrame;
            job.frameStep = r->sceneFrameStep;
            // Without a total there is nothing to burn down yet.
            if (stats.totalPasses > 0) {
                const auto &points = history.Record(identity, nowSeconds, stats.estimates.remainingPasses);
                job.history.assign(points.begin(), points.end());
            }
        }
        const Estimates &e = stats.estimates;
        job.texts.timePerPass = Duration(e.timePerPass, form);
        job.texts.framesPerHour = Rate(stats.framesPerHour, form);
        job.texts.passesPerHour = Rate(stats.passesPerHour, form);
        job.texts.start = DateTime(stats.startTime);
        job.texts.elapsed = Duration(e.elapsed, form);
        job.texts.remaining = Duration(e.remaining, form);
        job.texts.end = DateTime(e.endTime);
        out.jobs.push_back(std::move(job));
    }
}

RunJobInfo JobInfoOf(const StatusRecord &r) {
    RunJobInfo info;
    info.identity = JobIdentityBytes(r);
    info.jobId = JobHexId(info.identity);
    info.sceneName = WireText(r.sceneName);
    info.sceneFile = WireText(r.sceneFile);
    info.firstFrame = r.sceneFirstFrame;
    info.lastFrame = r.sceneLastFrame;
    info.frameStep = r.sceneFrameStep;
    return info;
}

std::vector<RunJobInfo> JobInfos(const ReportData &data) {
    std::vector<RunJobInfo> out(data.jobs.size());
    std::vector<bool> filled(data.jobs.size(), false);
    for (const CpuRow &row : data.rows) {
        if (row.job < 1 || row.job > out.size() || filled[row.job - 1]) continue;
        filled[row.job - 1] = true;
        out[row.job - 1] = JobInfoOf(*row.record);
    }
    return out;
}
