// Building the dashboard snapshot from a refresh's report data, and the per-job burn-down history.
#include "snapshot.h"

#include "clock.h"
#include "format.h"
#include "settings.h"
#include "wire_text.h"

#include <cstdio>
#include <cstring>
#include <limits>

const std::array<const char *, kFieldCount> kFieldLabels = {
    "Active CPUs:",    "Passes Rendered:",  "Total Passes:",  "Percent Complete:", "Start Time:",
    "Elapsed Time:",   "Recent Time/Pass:", "Est Remaining:", "Est Complete at:",
};

namespace {

// 3 days, 5:23:47.1234: shows every unit and all four decimals, as the options dialog's sample.
constexpr int64_t kOptionsSampleTicks = 2786271234000;

void AppendLittleEndian(std::string &out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string HexId(std::string_view bytes) {
    uint64_t h = 14695981039346656037ULL;  // FNV-1a, 64 bits
    for (const char c : bytes) {
        h ^= static_cast<uint8_t>(c);
        h *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::string Text(const char *buffer) { return WireText(FieldBytes(buffer, kFormatBufferSize)); }

std::string Duration(int64_t ticks) {
    char text[kFormatBufferSize];
    FormatDuration(ticks, text);
    return Text(text);
}
std::string Duration(const std::optional<int64_t> &ticks) { return ticks ? Duration(*ticks) : "-"; }

std::string Rate(const std::optional<double> &value) {
    if (!value) return "-";
    char text[kFormatBufferSize];
    FormatRate(*value, text);
    return Text(text);
}

std::string DateTime(uint64_t instant) {
    char text[kFormatBufferSize];
    FormatDateTime(&instant, text, sizeof text);
    return Text(text);
}
std::string DateTime(const std::optional<uint64_t> &instant) { return instant ? DateTime(*instant) : "-"; }

}  // namespace

std::string JobIdentityBytes(const StatusRecord &r) {
    std::string out;
    out.reserve(2 * kTextSize + 2 * kSceneRealText + 18 * 4 + 16);
    out.append(r.sceneName, kTextSize);
    out.append(r.sceneFile, kTextSize);
    for (int32_t v : {r.scene08, r.scene12, r.scene16, r.scene20, r.sceneFirstFrame, r.sceneLastFrame,
                      r.sceneFrameStep}) {
        AppendLittleEndian(out, static_cast<uint32_t>(v), 4);
    }
    out.append(r.sceneText40, kSceneRealText);
    AppendLittleEndian(out, static_cast<uint32_t>(r.scene48), 4);
    AppendLittleEndian(out, static_cast<uint32_t>(r.scene52), 4);
    out.append(r.sceneText56, kSceneRealText);
    for (int32_t v : {r.scene64, r.scene68, r.scene72, r.scene76, r.scene80, r.scene84, r.scene88}) {
        AppendLittleEndian(out, static_cast<uint32_t>(v), 4);
    }
    AppendLittleEndian(out, r.sceneFileTime, 8);
    AppendLittleEndian(out, r.sceneFileSize, 8);
    return out;
}

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

void BuildSnapshot(const ClientTable &table, const ReportData &data, const StatusFields &fields,
                   std::string fragment, JobHistory &history, WebSnapshot &out) {
    out.now = data.now;
    out.lastUpdate = data.lastUpdate;
    out.lastUpdateText = DateTime(data.lastUpdate);
    for (int i = 0; i < kFieldCount; ++i) out.fields[static_cast<size_t>(i)] = Text(fields.text[i]);
    out.overall = data.overall;
    out.connections = table.count;
    out.messagesAccepted = table.messagesAccepted;
    out.messagesRejected = table.messagesRejected;
    out.settings.maxScale = g_settings.maxScale;
    out.settings.resolution = g_settings.resolution;
    out.settings.htmlOutput = g_settings.htmlOutput != 0;
    out.settings.htmlPath = WireText(g_settings.htmlPath);
    out.settings.sample = Duration(kOptionsSampleTicks);
    out.fragment = std::move(fragment);

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
        WebCpu cpu;
        cpu.cpu = static_cast<int64_t>(r.cpuIndex) + 1;
        cpu.job = row.job;
        cpu.frame = r.currentFrame;
        cpu.passes = r.passesDone;
        cpu.averageTicks = row.averagePassTime;
        cpu.recentTicks = r.recentPassTime;
        cpu.lastTicks = r.lastPassTime;
        cpu.passEnd = row.passEnd;
        cpu.average = Duration(row.averagePassTime);
        cpu.recent = Duration(r.recentPassTime);
        cpu.last = Duration(r.lastPassTime);
        cpu.at = DateTime(row.passEnd);
        out.cpus.push_back(std::move(cpu));
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
        if (const StatusRecord *r = firstOfJob[j]) {
            const std::string identity = JobIdentityBytes(*r);
            job.id = HexId(identity);
            job.sceneName = WireText(r->sceneName);
            job.sceneFile = WireText(r->sceneFile);
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
        job.texts.timePerPass = Duration(e.timePerPass);
        job.texts.framesPerHour = Rate(stats.framesPerHour);
        job.texts.passesPerHour =
            Rate(stats.throughput > 0.0 ? std::optional<double>(stats.throughput * static_cast<double>(kTicksPerHour))
                                        : std::nullopt);
        job.texts.start = DateTime(stats.startTime);
        job.texts.elapsed = Duration(e.elapsed);
        job.texts.remaining = Duration(e.remaining);
        job.texts.end = DateTime(e.endTime);
        out.jobs.push_back(std::move(job));
    }
}
