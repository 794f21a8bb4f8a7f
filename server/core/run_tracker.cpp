// The run rules: continuation within 15 minutes, passes that never go back, outcomes, forecasts and their scoring.
#include "run_tracker.h"

#include "plausible_record.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <tuple>

namespace {

constexpr const char *kOutcomeNames[] = {"running", "complete", "interrupted"};

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / 1e7; }

}  // namespace

const char *RunOutcomeName(RunOutcome outcome) { return kOutcomeNames[static_cast<int>(outcome)]; }

RunOutcome RunOutcomeFromName(const std::string &name) {
    if (name == kOutcomeNames[1]) return RunOutcome::Complete;
    if (name == kOutcomeNames[2]) return RunOutcome::Interrupted;
    return RunOutcome::Running;
}

void ScoreForecasts(RunEntry &entry, uint64_t actualEnd) {
    double sum = 0.0;
    size_t scored = 0;
    for (Forecast &f : entry.forecasts) {
        f.errorRatio.reset();
        if (!f.predicted || actualEnd <= f.at) continue;
        const double error = Seconds(static_cast<int64_t>(*f.predicted - actualEnd));
        f.errorRatio = error / Seconds(static_cast<int64_t>(actualEnd - f.at));
        sum += std::fabs(*f.errorRatio);
        ++scored;
    }
    entry.meanAbsError.reset();
    if (scored) entry.meanAbsError = sum / static_cast<double>(scored);
}

void RunTracker::Resume(std::vector<RunEntry> runs, int64_t nextRun, uint64_t now) {
    nextRun_ = std::max(nextRun_, nextRun);
    for (RunEntry &e : runs) {
        nextRun_ = std::max(nextRun_, e.run + 1);
        if (runs_.size() >= kMaxTrackedRuns) break;
        Tracked t;
        t.entry = std::move(e);
        t.storedSeen = t.entry.lastSeen;
        for (size_t i = 0; i < t.entry.sessions.size(); ++i) {
            t.sessionIndex[{t.entry.sessions[i].cpu, t.entry.sessions[i].start}] = i;
        }
        auto [it, added] = runs_.try_emplace(t.entry.identity, std::move(t));
        // Of two runs of one job the newer one is the one to continue.
        if (!added && it->second.entry.run < t.entry.run) it->second = std::move(t);
    }
    (void)now;
}

RunTracker::Tracked &RunTracker::Begin(const RunJobInfo &info, uint64_t now) {
    Tracked t;
    t.entry.run = nextRun_++;
    t.entry.jobId = info.jobId;
    t.entry.identity = info.identity;
    t.entry.firstSeen = now;
    t.entry.lastSeen = now;
    t.dirty = true;
    Tracked &slot = runs_[info.identity];
    if (slot.entry.run != 0 && (slot.dirty || slot.unstored)) {
        replaced_.push_back(slot.entry);
    }
    slot = std::move(t);
    return slot;
}

void RunTracker::End(Tracked &t, RunOutcome outcome, uint64_t at) {
    RunEntry &e = t.entry;
    e.outcome = outcome;
    e.endedAt = at;
    t.dirty = true;
    if (outcome == RunOutcome::Complete) {
        ++stats_.complete;
        ScoreForecasts(e, at);
        for (const Forecast &f : e.forecasts) {
            if (!f.errorRatio) continue;
            const double v = std::fabs(*f.errorRatio);
            size_t b = 0;
            while (b < kForecastErrorBuckets.size() && v > kForecastErrorBuckets[b]) ++b;
            ++stats_.errorBuckets[b];
            ++stats_.errorCount;
            stats_.errorSum += v;
        }
    } else {
        ++stats_.interrupted;
    }
}

std::vector<RunEntry> RunTracker::Observe(const ReportData &data, const std::vector<RunJobInfo> &info,
                                          std::span<const DepartedCpu> departed) {
    const uint64_t now = data.now;
    // What a run sees of its job this refresh: the job as the report has it,
    // its CPUs' records, connected or just gone, and what they add up to.
    struct Group {
        const RunJobInfo *info = nullptr;
        const JobStats *job = nullptr;  // none when every CPU of the job left
        std::vector<const StatusRecord *> members;
        uint32_t cpus = 0;
        uint32_t totalPasses = 0;
        bool anyDeparted = false;
        bool connected = false;  // a CPU of it is still connected
    };
    std::vector<Group> groups;
    const size_t liveJobs = std::min(data.jobs.size(), info.size());
    groups.reserve(liveJobs);
    for (size_t j = 0; j < liveJobs; ++j) {
        groups.emplace_back().info = &info[j];
        groups.back().job = &data.jobs[j];
    }
    // The rows are in job order, job numbers 1-based. Records that cannot be
    // true keep no state.
    for (const CpuRow &row : data.rows) {
        if (row.job >= 1 && row.job <= liveJobs && IsPlausibleRecord(*row.record, now)) {
            groups[row.job - 1].members.push_back(row.record);
            groups[row.job - 1].connected = true;
        }
    }
    if (!departed.empty()) {
        std::unordered_map<std::string_view, size_t> byIdentity;
        for (size_t j = 0; j < liveJobs; ++j) byIdentity.emplace(info[j].identity, j);
        for (const DepartedCpu &d : departed) {
            if (!d.record || !IsPlausibleRecord(*d.record, now)) continue;
            auto [found, added] = byIdentity.try_emplace(d.info.identity, groups.size());
            if (added) groups.emplace_back().info = &d.info;
            Group &g = groups[found->second];
            g.members.push_back(d.record);
            g.anyDeparted = true;
        }
    }
    for (Group &g : groups) {
        for (const StatusRecord *r : g.members) g.totalPasses = std::max(g.totalPasses, r->totalPasses);
        // Connected CPUs are distinct (the table keeps one per CPU of a job); a
        // CPU that left and came back within the refresh is still one CPU.
        g.cpus = static_cast<uint32_t>(g.members.size());
        if (!g.anyDeparted) continue;
        std::vector<int32_t> cpus;
        cpus.reserve(g.members.size());
        for (const StatusRecord *r : g.members) cpus.push_back(r->cpuIndex);
        std::sort(cpus.begin(), cpus.end());
        g.cpus = static_cast<uint32_t>(std::unique(cpus.begin(), cpus.end()) - cpus.begin());
    }
    std::vector<const Tracked *> seen;
    for (Group &g : groups) {
        if (g.members.empty()) continue;  // only records that cannot be true
        const RunJobInfo &ji = *g.info;
        auto it = runs_.find(ji.identity);
        Tracked *t = it == runs_.end() ? nullptr : &it->second;
        if (t) {
            RunEntry &e = t->entry;
            const bool recent = now >= e.lastSeen && now - e.lastSeen <= kRunContinueTicks;
            bool continues = recent || (t->live && e.outcome == RunOutcome::Running);
            // A finished run goes on only with the sessions it knew (a restart or a blip);
            // a new session of a completed job that has not done the job's passes is a new
            // render. One that reports them all is a late word on the finished run, not
            // a new run that ends at once, again with every message.
            if (continues && e.outcome == RunOutcome::Complete) {
                for (const StatusRecord *r : g.members) {
                    if (!t->sessionIndex.count({r->cpuIndex, r->startTime}) && r->passesDone < e.totalPasses)
                        continues = false;
                }
            }
            if (!continues) t = nullptr;
        }
        if (!t) {
            if (it == runs_.end() && runs_.size() >= kMaxTrackedRuns) continue;
            t = &Begin(ji, now);
        }
        t->live = true;
        RunEntry &e = t->entry;
        // An outcome or a forecast is stored at once; progress alone with the sightings.
        const auto before = std::make_tuple(e.forecasts.size(), e.outcome, e.endedAt, e.sceneName);
        e.jobId = ji.jobId;
        e.sceneName = ji.sceneName;
        e.sceneFile = ji.sceneFile;
        e.firstFrame = ji.firstFrame;
        e.lastFrame = ji.lastFrame;
        e.frameStep = ji.frameStep;
        e.lastSeen = std::max(e.lastSeen, now);
        e.peakCpus = std::max(e.peakCpus, g.cpus);
        e.totalPasses = std::max(e.totalPasses, g.totalPasses);
        // The completion the report shows; once every CPU left, the last it showed.
        if (g.job) t->lastEstimate = g.job->estimates.endTime;
        for (const StatusRecord *r : g.members) {
            const auto key = std::make_pair(r->cpuIndex, r->startTime);
            auto found = t->sessionIndex.find(key);
            if (found != t->sessionIndex.end()) {
                RunSession &s = e.sessions[found->second];
                if (r->passesDone > s.passes) {
                    e.passesDone += r->passesDone - s.passes;
                    s.passes = r->passesDone;
                }
            } else if (e.sessions.size() < kMaxRunSessions) {
                t->sessionIndex[key] = e.sessions.size();
                e.sessions.push_back({r->cpuIndex, r->startTime, r->passesDone});
                e.passesDone += r->passesDone;
            } else {
                e.passesBeyond += r->passesDone;
                e.passesDone += r->passesDone;
            }
        }
        // Back from an interruption, or a completion the job's grown total took back.
        if (e.outcome == RunOutcome::Interrupted ||
            (e.outcome == RunOutcome::Complete && e.passesDone < e.totalPasses)) {
            e.outcome = RunOutcome::Running;
            e.endedAt.reset();
            for (Forecast &f : e.forecasts) f.errorRatio.reset();
            e.meanAbsError.reset();
        }
        if (e.totalPasses > 0) {
            for (const uint32_t percent : kForecastPercents) {
                const bool taken = std::any_of(e.forecasts.begin(), e.forecasts.end(),
                                               [&](const Forecast &f) { return f.percent == percent; });
                if (taken || e.passesDone * 100 < static_cast<uint64_t>(percent) * e.totalPasses) continue;
                e.forecasts.push_back({percent, now, t->lastEstimate, std::nullopt});
            }
            std::sort(e.forecasts.begin(), e.forecasts.end(),
                      [](const Forecast &a, const Forecast &b) { return a.percent < b.percent; });
            if (e.outcome == RunOutcome::Running && e.passesDone >= e.totalPasses) End(*t, RunOutcome::Complete, now);
        }
        if (before != std::make_tuple(e.forecasts.size(), e.outcome, e.endedAt, e.sceneName)) t->dirty = true;
        t->unstored = true;
        // A run whose CPUs all left in this refresh ends below, as one whose CPUs left earlier.
        if (g.connected) seen.push_back(t);
    }

    std::vector<RunEntry> changed;
    changed.swap(replaced_);
    for (auto it = runs_.begin(); it != runs_.end();) {
        Tracked &t = it->second;
        RunEntry &e = t.entry;
        const bool present = std::find(seen.begin(), seen.end(), &t) != seen.end();
        if (!present && e.outcome == RunOutcome::Running) {
            // Its CPUs left before the end; a run kept from before the start
            // is given the continuation time to come back.
            if (t.live || now < e.lastSeen || now - e.lastSeen > kRunContinueTicks) {
                End(t, RunOutcome::Interrupted, e.lastSeen);
            }
        }
        if (t.dirty || (t.unstored && e.lastSeen >= t.storedSeen + kSightingTicks)) {
            changed.push_back(e);
            t.dirty = false;
            t.unstored = false;
            t.storedSeen = e.lastSeen;
        }
        const bool expired = !present && e.outcome != RunOutcome::Running &&
                             (now < e.lastSeen || now - e.lastSeen > kRunContinueTicks);
        it = expired ? runs_.erase(it) : std::next(it);
    }
    std::sort(changed.begin(), changed.end(), [](const RunEntry &a, const RunEntry &b) { return a.run < b.run; });
    return changed;
}

std::vector<RunEntry> RunTracker::Flush() {
    std::vector<RunEntry> out;
    out.swap(replaced_);
    for (auto &[identity, t] : runs_) {
        if (!t.dirty && !t.unstored) continue;
        out.push_back(t.entry);
        t.dirty = false;
        t.unstored = false;
        t.storedSeen = t.entry.lastSeen;
    }
    return out;
}
