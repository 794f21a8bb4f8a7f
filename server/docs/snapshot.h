// The dashboard's immutable snapshot of the report, built by the core thread after every refresh and read by HTTP threads.
#pragma once

#include "client_table.h"
#include "report.h"
#include "run_tracker.h"
#include "settings.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One point of a job's burn-down: remaining passes at an instant.
struct HistoryPoint {
    int64_t unixSeconds;
    uint64_t remainingPasses;
};

// Per job (by identity), the remaining passes over the last hour: at most
// two points per kStepSeconds, points older than an hour dropped, jobs
// forgotten an hour after they were last seen and never more than kMaxJobs
// of them, so memory stays bounded on a farm that runs for months.
class JobHistory {
public:
    static constexpr int64_t kWindowSeconds = 3600;
    static constexpr int64_t kStepSeconds = 10;
    static constexpr size_t kMaxJobs = 1024;

    // Notes the job's remaining passes at unixSeconds and returns its points,
    // oldest first. Instants going backwards (a clock set back) restart the line.
    const std::deque<HistoryPoint> &Record(const std::string &identity, int64_t unixSeconds, uint64_t remaining);
    // Drops what has left the window by unixSeconds.
    void Expire(int64_t unixSeconds);
    size_t JobCount() const { return jobs_.size(); }

private:
    struct Line {
        std::deque<HistoryPoint> points;
        int64_t lastSeen = 0;
    };
    std::unordered_map<std::string, Line> jobs_;
};

struct WebJob {
    uint32_t number = 0;     // 1-based, as in the report
    std::string id;          // 16 hex digits naming the job identity, stable while the job lives
    std::string sceneName;   // UTF-8
    std::string sceneFile;   // UTF-8
    uint64_t sceneFileTime = 0;
    uint64_t sceneFileSize = 0;
    int32_t firstFrame = 0, lastFrame = 0, frameStep = 0;
    JobStats stats;
    // The report's texts for this job, in the current MaxScale and Resolution.
    struct {
        std::string timePerPass, framesPerHour, passesPerHour, start, elapsed, remaining, end;
    } texts;
    std::vector<HistoryPoint> history;  // oldest first
};

struct WebCpu {
    int64_t cpu = 0;  // cpuIndex + 1
    uint32_t job = 0;
    int32_t frame = 0;
    uint32_t passes = 0;
    int64_t averageTicks = 0, recentTicks = 0, lastTicks = 0;
    uint64_t passEnd = 0;  // end of the latest counted pass
    bool stalled = false;  // silent too long: out of the job's throughput
    std::string average, recent, last, at;  // texts as in the report's row
};

struct WebSettings {
    int32_t maxScale = 0;
    int32_t resolution = 0;
    int32_t stallSeconds = 0;
    bool htmlOutput = false;
    std::string htmlPath;  // UTF-8
    std::string htmlError;  // why the HTML file's latest write failed, UTF-8; empty: it worked (or output is off)
    std::string webhook;   // as WebhookShown gives it: never the path or query
    std::string sample;    // the options dialog's sample duration in the current form
    int32_t maxCpusPerAddress = 0;
    bool statusNetworksRestricted = false;    // false: any address
    std::vector<std::string> statusNetworks;  // when restricted, "10.20.0.0/16" ... (none: no address)
};

struct WebSnapshot {
    uint64_t generation = 0;  // grows with every snapshot published
    uint64_t now = 0;         // file-time instant the report was made at
    uint64_t lastUpdate = 0;
    std::string lastUpdateText;  // as the fragment's "Last Update" line shows it
    std::array<std::string, kFieldCount> fields;  // the nine window texts, UTF-8
    OverallStats overall;
    std::vector<WebJob> jobs;
    std::vector<WebCpu> cpus;  // CPUs that have reported, in table order
    uint32_t connections = 0;  // open status connections
    uint32_t waiting = 0;      // of them, not reported yet
    uint64_t messagesAccepted = 0;
    uint64_t messagesRejected = 0;
    uint64_t recordsImplausible = 0;  // of the messages stored, those that cannot be true
    ConnectionRefusals refused{};  // status connections closed by the limits, by reason
    WebSettings settings;
    std::string fragment;  // the HTML fragment, byte for byte as the file gets it
};

// File-time ticks as Unix seconds (floor).
int64_t UnixSeconds(uint64_t fileTime);
// An instant as ISO 8601 UTC, "2026-12-08T05:07:19Z"; empty for 0 (unknown)
// and for instants past the year 9999.
std::string IsoUtc(uint64_t fileTime);

// One CPU row as the snapshot holds it (texts in form); row.job must not be 0.
WebCpu MakeWebCpu(const CpuRow &row, const DisplayForm &form);

// Builds the snapshot of a refresh: report as just built from table (its
// fragment copied byte for byte), texts in the settings' form. Runs on the
// core thread, before the table changes; records each job's remaining passes
// into history (keyed by JobIdentityBytes).
// jobInfos: JobInfos(report.data), made once per refresh for every part that names the jobs.
void BuildSnapshot(const ClientTable &table, const StatusReport &report, const std::vector<RunJobInfo> &jobInfos,
                   const ServerSettings &settings, JobHistory &history, WebSnapshot &out);
// The same, making the job infos itself (tests, benchmarks).
void BuildSnapshot(const ClientTable &table, const StatusReport &report, const ServerSettings &settings,
                   JobHistory &history, WebSnapshot &out);

// Per job of data.jobs, its identity, hex id and texts (from the job's first
// CPU): what the snapshot, the run history and the webhook's events name a job by.
std::vector<RunJobInfo> JobInfos(const ReportData &data);
// The identity, hex id and texts of the job a record names.
RunJobInfo JobInfoOf(const StatusRecord &record);
