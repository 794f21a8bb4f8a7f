// Render runs followed across refreshes: what each job's run did, its forecasts and their errors, from report data and given instants.
#pragma once

#include "report.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// A job that reappears within this time of its last sighting continues its run.
inline constexpr uint64_t kRunContinueTicks = 15ULL * 60 * 10000000ULL;
// The progress at which a run's forecast is taken, in percent of its passes.
inline constexpr std::array<uint32_t, 5> kForecastPercents = {10, 25, 50, 75, 90};
// Upper bounds of the forecast error histogram's buckets (+Inf besides).
inline constexpr std::array<double, 7> kForecastErrorBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2, 5};
// Runs followed at once (live or within the continuation time); more jobs are not recorded.
inline constexpr size_t kMaxTrackedRuns = 1024;
// Plug-in sessions a run remembers; passes of sessions past it add to a sum that cannot drop duplicates.
inline constexpr size_t kMaxRunSessions = 65536;

enum class RunOutcome { Running, Complete, Interrupted };
// "running", "complete", "interrupted".
const char *RunOutcomeName(RunOutcome outcome);
// The outcome named so; Running for anything else.
RunOutcome RunOutcomeFromName(const std::string &name);

// The completion the report showed when the run first reached percent.
struct Forecast {
    uint32_t percent = 0;
    uint64_t at = 0;                        // file time
    std::optional<uint64_t> predicted;      // the report's completion then; empty while it had none
    std::optional<double> errorRatio;       // (predicted - actual end) / (actual end - at), once complete
};

// One CPU's plug-in session in a run: its passes never go back, and a new
// session (a render node started again) adds its own.
struct RunSession {
    int32_t cpu = 0;
    uint64_t start = 0;  // the plug-in's start instant: names the session
    uint32_t passes = 0;  // the most it reported
};

// One run of a job, as stored and shown. Instants are file time.
struct RunEntry {
    int64_t run = 0;        // unique in the history
    std::string jobId;      // 16 hex digits, as the status document's jobs[].id
    std::string identity;   // the job identity's bytes (JobIdentityBytes)
    std::string sceneName, sceneFile;  // UTF-8
    int32_t firstFrame = 0, lastFrame = 0, frameStep = 0;
    uint64_t firstSeen = 0, lastSeen = 0;
    uint32_t peakCpus = 0;
    uint64_t passesDone = 0;  // sum over sessions of their best, plus passesBeyond
    uint64_t passesBeyond = 0;  // passes of sessions past kMaxRunSessions
    uint32_t totalPasses = 0;   // the largest total the job showed
    RunOutcome outcome = RunOutcome::Running;
    std::optional<uint64_t> endedAt;  // complete: when passes reached the total; interrupted: the last sighting
    std::vector<Forecast> forecasts;  // in percent order
    std::optional<double> meanAbsError;  // mean |errorRatio| of the scored forecasts
    std::vector<RunSession> sessions;
};

// What the tracker has counted since it started, for the metrics.
struct RunStats {
    uint64_t complete = 0;
    uint64_t interrupted = 0;
    std::array<uint64_t, kForecastErrorBuckets.size() + 1> errorBuckets{};  // not cumulative; last is +Inf
    uint64_t errorCount = 0;
    double errorSum = 0.0;
};

// The job texts a run takes from the report (the core fills them from the
// job's first record; they come from the wire).
struct RunJobInfo {
    std::string jobId, identity, sceneName, sceneFile;
    int32_t firstFrame = 0, lastFrame = 0, frameStep = 0;
};

// A CPU whose connection closed since the last refresh: its last record
// (which the report no longer shows) and the job texts that record names.
struct DepartedCpu {
    const StatusRecord *record = nullptr;
    RunJobInfo info;
};

// Follows the report's jobs as runs; core thread only, no I/O. Each call is
// given its instant, so a scripted clock can drive it.
class RunTracker {
public:
    // Runs the history kept from before (running or ended within the
    // continuation time) and the first free run number.
    void Resume(std::vector<RunEntry> runs, int64_t nextRun, uint64_t now);
    // One refresh: data as just computed (rows and jobs), info per job in
    // data.jobs' order, and the CPUs that left since the last refresh with
    // their last state, so a pass that arrived together with its connection's
    // close still counts. Returns the runs that changed and should be stored,
    // whole: a new run, an outcome or a forecast at once, progress and
    // sightings alone at most every kSightingTicks.
    std::vector<RunEntry> Observe(const ReportData &data, const std::vector<RunJobInfo> &info,
                                  std::span<const DepartedCpu> departed = {});
    // The runs whose latest sighting was not handed out yet (at a stop).
    std::vector<RunEntry> Flush();
    const RunStats &Stats() const { return stats_; }
    size_t TrackedRuns() const { return runs_.size(); }

    static constexpr uint64_t kSightingTicks = 5ULL * 10000000ULL;

private:
    struct Tracked {
        RunEntry entry;
        bool live = false;        // seen by this tracker since it started
        bool dirty = false;       // a new run, outcome or forecast not handed out yet
        bool unstored = false;    // seen or progressed since last handed out
        uint64_t storedSeen = 0;  // lastSeen when last handed out
        std::optional<uint64_t> lastEstimate;  // the report's latest completion for the job
        std::map<std::pair<int32_t, uint64_t>, size_t> sessionIndex;  // (cpu, start) -> sessions[]
    };
    Tracked &Begin(const RunJobInfo &info, uint64_t now);
    void End(Tracked &t, RunOutcome outcome, uint64_t at);

    std::unordered_map<std::string, Tracked> runs_;  // by identity
    std::vector<RunEntry> replaced_;  // runs a new run of their job took the place of, not handed out yet
    int64_t nextRun_ = 1;
    RunStats stats_;
};

// Scores the run's forecasts against its end: each gets its error ratio
// (empty without a prediction or when taken at the end itself) and the run
// the mean of their absolute values.
void ScoreForecasts(RunEntry &entry, uint64_t actualEnd);
