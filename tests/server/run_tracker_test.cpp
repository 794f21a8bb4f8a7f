// Tests of the run tracker under a scripted clock: forecast scoring, passes that never go back, outcomes and continuation.
#include "run_tracker.h"

#include "plausible_record.h"

#include "report_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace reporttest;

// A farm under a scripted clock: CPUs of the "Castle" job (25 frames, total
// as set), each reporting one pass every 10 s.
struct Farm {
    TestTable table;
    RunTracker tracker;
    uint64_t now = kNow;
    std::vector<RunEntry> stored;  // everything handed out, in order
    bool clockElapsed = true;      // Refresh sets each record's elapsed time

    StatusRecord &Cpu(int32_t index, uint64_t startedAt, uint32_t total) {
        StatusRecord &r = table.AddCpu(index);
        r.startTime = r.passStartTime = startedAt;
        r.totalPasses = total;
        r.passesPerFrame = 1;
        r.recentPassTime = 10 * kTickSecond;
        return r;
    }
    // One refresh at the current instant.
    std::vector<RunEntry> Refresh() {
        // As a plug-in reports: the time since its start (a session the script
        // starts at this instant has run a moment).
        for (ClientEntry &e : table.entries) {
            if (clockElapsed) e.record.elapsedTime = now > e.record.startTime ? static_cast<int64_t>(now - e.record.startTime) : 1;
        }
        ReportData data;
        ComputeReport(table.Get(), now, data);
        std::vector<RunJobInfo> info(data.jobs.size());
        for (const CpuRow &row : data.rows) {
            if (row.job && info[row.job - 1].identity.empty()) {
                info[row.job - 1].identity = JobIdentityBytes(*row.record);
                info[row.job - 1].jobId = "job";
            }
        }
        std::vector<RunEntry> changed = tracker.Observe(data, info);
        stored.insert(stored.end(), changed.begin(), changed.end());
        return changed;
    }
    const RunEntry &Last() const { return stored.back(); }
    void Leave(size_t i) { table.entries.erase(table.entries.begin() + static_cast<std::ptrdiff_t>(i)); }
};

TEST(RunTracker, ForecastErrorRatios) {
    // Instants in seconds after kNow: forecast taken at, predicted completion, actual end.
    struct Case {
        int64_t at, predicted, actual;
        bool hasPrediction;
        std::optional<double> ratio;
    };
    const Case cases[] = {
        {0, 100, 100, true, 0.0},     // exact
        {0, 150, 100, true, 0.5},     // 50 s late on 100 s left
        {50, 75, 100, true, -0.5},    // 25 s early on 50 s left
        {90, 110, 100, true, 1.0},    // 10 s late on 10 s left
        {100, 120, 100, true, std::nullopt},  // taken at the end itself: no time left to err over
        {0, 0, 100, false, std::nullopt},     // the report had no completion then
    };
    for (const Case &c : cases) {
        RunEntry e;
        Forecast f;
        f.percent = 50;
        f.at = kNow + static_cast<uint64_t>(c.at) * kSecond;
        if (c.hasPrediction) f.predicted = kNow + static_cast<uint64_t>(c.predicted) * kSecond;
        e.forecasts.push_back(f);
        ScoreForecasts(e, kNow + static_cast<uint64_t>(c.actual) * kSecond);
        ASSERT_EQ(e.forecasts[0].errorRatio.has_value(), c.ratio.has_value()) << "case at " << c.at;
        if (c.ratio) {
            EXPECT_NEAR(*e.forecasts[0].errorRatio, *c.ratio, 1e-12) << "case at " << c.at;
            EXPECT_NEAR(*e.meanAbsError, std::fabs(*c.ratio), 1e-12);
        } else {
            EXPECT_FALSE(e.meanAbsError.has_value());
        }
    }
    // The mean is over the absolute values of the scored ones only.
    RunEntry e;
    e.forecasts = {{10, kNow, kNow + 150 * kSecond, {}}, {25, kNow, kNow + 50 * kSecond, {}}, {50, kNow, {}, {}}};
    ScoreForecasts(e, kNow + 100 * kSecond);
    ASSERT_TRUE(e.meanAbsError.has_value());
    EXPECT_NEAR(*e.meanAbsError, 0.5, 1e-12);
}

// One CPU at a steady 10 s per pass: every forecast is the report's completion, exact, so each error is 0;
// a CPU that then slows to 20 s per pass makes the earlier forecasts early.
TEST(RunTracker, ForecastsTakenAtThresholdsAndScoredAtTheEnd) {
    Farm farm;
    StatusRecord &cpu = farm.Cpu(0, kNow, 20);
    for (uint32_t done = 1; done <= 20; ++done) {
        farm.now += (done > 10 ? 20 : 10) * kSecond;
        cpu.passesDone = done;
        if (done > 10) cpu.recentPassTime = 20 * kTickSecond;
        farm.Refresh();
    }
    const RunEntry &run = farm.Last();
    ASSERT_EQ(run.outcome, RunOutcome::Complete);
    ASSERT_EQ(run.forecasts.size(), kForecastPercents.size());
    EXPECT_EQ(run.passesDone, 20u);
    EXPECT_EQ(*run.endedAt, farm.now);
    // Taken at 2, 5 and 10 passes (predicting 10 s a pass, so early), and at 15 and 18 (20 s a pass: exact).
    const uint32_t takenAt[] = {2, 5, 10, 15, 18};
    const uint64_t end = farm.now;
    for (size_t i = 0; i < run.forecasts.size(); ++i) {
        const Forecast &f = run.forecasts[i];
        EXPECT_EQ(f.percent, kForecastPercents[i]);
        const uint32_t p = takenAt[i];
        const uint64_t at = kNow + (p <= 10 ? p * 10 : 100 + (p - 10) * 20) * kSecond;
        EXPECT_EQ(f.at, at) << "forecast " << f.percent;
        const double left = static_cast<double>(end - at) / 1e7;
        const double predictedLeft = (20.0 - p) * (p <= 10 ? 10.0 : 20.0);
        ASSERT_TRUE(f.errorRatio) << "forecast " << f.percent;
        EXPECT_NEAR(*f.errorRatio, (predictedLeft - left) / left, 1e-9) << "forecast " << f.percent;
    }
    EXPECT_EQ(farm.tracker.Stats().complete, 1u);
    EXPECT_EQ(farm.tracker.Stats().errorCount, 5u);
}

// When CPUs finish and leave, the report's sum drops; the run's passes must not.
TEST(RunTracker, PassesNeverGoBackWhenCpusLeave) {
    Farm farm;
    StatusRecord *a = &farm.Cpu(0, kNow, 12);
    farm.Cpu(1, kNow, 12).passesDone = 6;
    a->passesDone = 3;
    farm.now += RunTracker::kSightingTicks;
    farm.Refresh();
    EXPECT_EQ(farm.Last().passesDone, 9u);
    farm.Leave(1);  // CPU 2 finished its frames and left
    a = &farm.table.entries[0].record;
    farm.now += RunTracker::kSightingTicks;
    farm.Refresh();
    EXPECT_EQ(farm.Last().passesDone, 9u) << "the departed CPU's passes stay counted";
    // The same CPU again as a new session (a render node started again) adds its passes.
    farm.Cpu(1, kNow + 5 * kSecond, 12).passesDone = 1;
    a = &farm.table.entries[0].record;
    a->passesDone = 5;
    farm.now += RunTracker::kSightingTicks;
    farm.Refresh();
    EXPECT_EQ(farm.Last().passesDone, 12u);
    EXPECT_EQ(farm.Last().outcome, RunOutcome::Complete);
    EXPECT_EQ(farm.Last().peakCpus, 2u);
}

TEST(RunTracker, InterruptedContinuedAndNew) {
    struct Case {
        const char *what;
        int64_t awaySeconds;  // between the job's CPUs leaving and coming back
        bool sameSession;     // the same plug-in session comes back (a blip) or a new one starts
        bool completeFirst;
        uint32_t backPasses;  // what the CPU reports when it is back (the job has 10)
        bool sameRun;
    };
    const Case cases[] = {
        {"interrupted, back after 14 min", 14 * 60, true, false, 5, true},
        {"interrupted, back after 16 min", 16 * 60, true, false, 5, false},
        {"interrupted, new session after 5 min", 5 * 60, false, false, 5, true},
        {"complete, same session after 5 min", 5 * 60, true, true, 10, true},
        {"complete, new session starting over after 5 min", 5 * 60, false, true, 1, false},
        {"complete, new session with every pass after 5 min", 5 * 60, false, true, 10, true},
    };
    for (const Case &c : cases) {
        Farm farm;
        farm.Cpu(0, kNow, 10).passesDone = c.completeFirst ? 10 : 4;
        farm.now += kSecond;
        farm.Refresh();
        const int64_t first = farm.Last().run;
        farm.Leave(0);
        farm.now += kSecond;
        farm.Refresh();
        const RunEntry left = farm.Last();
        EXPECT_EQ(left.outcome, c.completeFirst ? RunOutcome::Complete : RunOutcome::Interrupted) << c.what;
        if (!c.completeFirst) {
            EXPECT_EQ(*left.endedAt, farm.now - kSecond) << c.what << ": ends at the last sighting";
        }
        farm.now += static_cast<uint64_t>(c.awaySeconds) * kSecond;
        farm.Cpu(0, c.sameSession ? kNow : farm.now, 10).passesDone = c.backPasses;
        farm.Refresh();
        EXPECT_EQ(farm.Last().run == first, c.sameRun) << c.what << ": run " << farm.Last().run << " after " << first;
        if (c.sameRun && !c.completeFirst) {
            EXPECT_EQ(farm.Last().outcome, RunOutcome::Running) << c.what;
            EXPECT_EQ(farm.Last().passesDone, c.sameSession ? 5u : 9u) << c.what;
        }
    }
}

// Runs kept from before a restart: continued when the job comes back in time, interrupted when it does not.
TEST(RunTracker, ResumedRuns) {
    Farm farm;
    RunEntry kept;
    kept.run = 41;
    kept.identity = JobIdentityBytes(farm.Cpu(0, kNow, 10));
    kept.firstSeen = kNow - 120 * kSecond;
    kept.lastSeen = kNow - 60 * kSecond;
    kept.passesDone = 4;
    kept.totalPasses = 10;
    kept.sessions = {{0, kNow, 4}};
    kept.forecasts = {{10, kNow - 100 * kSecond, kNow, {}}, {25, kNow - 90 * kSecond, kNow, {}}};
    RunEntry stale = kept;
    stale.run = 7;
    stale.identity = "another job";
    stale.lastSeen = kNow - 20 * 60 * kSecond;
    farm.tracker.Resume({stale, kept}, 42, kNow);

    farm.table.entries[0].record.passesDone = 6;  // the same session, on after the restart
    farm.Refresh();
    ASSERT_EQ(farm.stored.size(), 2u);
    EXPECT_EQ(farm.stored[0].run, 7);
    EXPECT_EQ(farm.stored[0].outcome, RunOutcome::Interrupted);
    EXPECT_EQ(farm.stored[1].run, 41);
    EXPECT_EQ(farm.stored[1].passesDone, 6u);
    EXPECT_EQ(farm.stored[1].forecasts.size(), 3u) << "the kept forecasts stay, 50% is new";
    // A new job gets the next free number.
    StatusRecord &other = farm.Cpu(1, kNow, 10);
    other.sceneFileSize = 2;
    farm.now += kSecond;
    farm.Refresh();
    EXPECT_EQ(farm.Last().run, 42);
}

}  // namespace

// Records that cannot be true keep no state: beside a CPU reporting one pass,
// a second CPU of the job with 5 passes and one impossible field adds neither
// its passes, nor itself to the peak, nor its total.
TEST(RunTracker, RecordsThatCannotBeTrueKeepNoState) {
    struct Case {
        const char *what;
        void (*spoil)(StatusRecord &);
        bool plausible;
    };
    const Case cases[] = {
        {"a sound record", [](StatusRecord &) {}, true},
        {"negative CPU index", [](StatusRecord &r) { r.cpuIndex = -3; }, false},
        {"negative recent pass time", [](StatusRecord &r) { r.recentPassTime = -1; }, false},
        {"negative average", [](StatusRecord &r) { r.averagePassTime = -kTickSecond; }, false},
        {"passes in no time", [](StatusRecord &r) { r.elapsedTime = 0; }, false},
        {"220% of the total by one CPU", [](StatusRecord &r) { r.passesDone = 44; }, false},
        {"twice the total is still possible", [](StatusRecord &r) { r.passesDone = 40; }, true},
        {"started before 2000", [](StatusRecord &r) { r.startTime = r.passStartTime = kEarliestPlausibleTicks - 1; }, false},
        {"pass started two days ahead", [](StatusRecord &r) { r.passStartTime = kNow + 2 * 86400 * kSecond; }, false},
        {"a clock an hour ahead", [](StatusRecord &r) { r.passStartTime = kNow + 3600 * kSecond; }, true},
    };
    for (const Case &c : cases) {
        Farm farm;
        farm.clockElapsed = false;
        farm.now += 100 * kSecond;
        StatusRecord &good = farm.Cpu(0, kNow, 20);
        good.passesDone = 1;
        good.elapsedTime = 100 * kTickSecond;
        StatusRecord &odd = farm.Cpu(1, kNow, 20);
        odd.passesDone = 5;
        odd.elapsedTime = 100 * kTickSecond;
        c.spoil(odd);
        farm.Refresh();
        EXPECT_EQ(IsPlausibleRecord(odd, farm.now), c.plausible) << c.what;
        ASSERT_FALSE(farm.stored.empty()) << c.what;
        const RunEntry &run = farm.Last();
        EXPECT_EQ(run.passesDone, c.plausible ? 1u + odd.passesDone : 1u) << c.what;
        EXPECT_EQ(run.peakCpus, c.plausible ? 2u : 1u) << c.what;
    }
}
