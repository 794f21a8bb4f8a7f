// Tests of the farm forecaster: a scripted farm scored at 25/50/75/90% of its passes, the calibration's ranges, and hostile records.
#include "farm_forecast.h"

#include "clock.h"
#include "report_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using reporttest::kNow;
using reporttest::kSecond;

// ---- A scripted farm --------------------------------------------------------

enum class Profile { Constant, RampUp, RampDown, Spike, Step };
enum class Handout { Shares, OneAtATime, Tasks };

// A render node: its speed (x the base time), when it joins and dies (in
// fractions of the frames finished; 0 joins at the start, >1 never dies).
struct NodePlan {
    double slowness = 1.0;
    double joinAt = 0.0;
    double dieAt = 2.0;
};

constexpr int32_t kFirst = 1, kLast = 200, kStep = 2;  // frames 1, 3, ... 199
constexpr int64_t kFrames = 100;
constexpr uint32_t kPpf = 4;
constexpr double kFrameSeconds = 40.0;
constexpr double kLoadSeconds = 3.0;  // a renderer's start until its first pass
constexpr uint32_t kTaskFrames = 4;
// One node's plug-in clock runs two hours behind the server's.
constexpr int64_t kSkewTicks = -2LL * 3600 * 10000000LL;

double Cost(Profile p, int64_t frame) {
    const double at = static_cast<double>(frame) / (kFrames - 1);
    switch (p) {
    case Profile::Constant: return kFrameSeconds;
    case Profile::RampUp: return kFrameSeconds * (1 + 2 * at);
    case Profile::RampDown: return kFrameSeconds * (3 - 2 * at);
    case Profile::Spike: return kFrameSeconds * (frame == kFrames / 3 ? 8 : 1);
    case Profile::Step: return kFrameSeconds * (frame >= kFrames * 6 / 10 ? 2 : 1);
    }
    return kFrameSeconds;
}

// The plug-in's record and its per-pass arithmetic.
struct Plugin {
    StatusRecord r{};
    void Start(uint64_t at, int32_t cpu) {
        r = StatusRecord{};
        std::memcpy(r.signature, RecordSignature, sizeof r.signature);
        std::strcpy(r.sceneName, "Harbour");
        std::strcpy(r.sceneFile, "/shots/harbour.scn");
        r.sceneFirstFrame = kFirst;
        r.sceneLastFrame = kLast;
        r.sceneFrameStep = kStep;
        r.cpuIndex = cpu;
        r.firstRenderedFrame = -1;
        r.startTime = r.passStartTime = at;
    }
    void Count(uint64_t at, int32_t frame) {
        r.currentFrame = frame;
        if (!r.passesPerFrameFixed) {
            if (r.firstRenderedFrame == -1) r.firstRenderedFrame = frame;
            if (frame == r.firstRenderedFrame) {
                ++r.passesPerFrame;
                r.totalPasses = static_cast<uint32_t>(kLast - kFirst + 1) * r.passesPerFrame / kStep;
            } else {
                r.passesPerFrameFixed = 1;
            }
        }
        ++r.passesDone;
        r.elapsedTime = static_cast<int64_t>(at - r.startTime);
        r.lastPassTime = static_cast<int64_t>(at - r.passStartTime);
        r.averagePassTime = r.elapsedTime / r.passesDone;
        r.averageFrameTime = r.passesPerFrame * r.averagePassTime;
        const int64_t n5 = 5 * r.passesPerFrame;
        r.recentPassTime = r.recentPassTime == 0 ? r.lastPassTime : ((n5 - 1) * r.recentPassTime + r.lastPassTime) / n5;
    }
};

struct Scenario {
    std::string name;
    Profile profile;
    Handout handout;
    std::vector<NodePlan> nodes;
    // |error ratio| allowed at 25/50/75/90%: tighter where the past shows the
    // future, looser where it cannot (a node that joins or dies, a step
    // that has not come yet when the frames go out in order).
    std::array<double, 4> tolerance{0.15, 0.12, 0.1, 0.1};
};

constexpr std::array<uint32_t, 4> kCheckPercents = {25, 50, 75, 90};

struct Checkpoint {
    uint64_t at = 0;
    std::optional<FarmForecast> forecast;
    std::optional<uint64_t> reportEnd;  // remaining passes / throughput of the working CPUs
};

struct FarmRun {
    std::array<Checkpoint, 4> checks;
    uint64_t actualEnd = 0;
};

struct Node {
    NodePlan plan;
    Plugin plugin;
    bool joined = false, live = false, dead = false;
    uint64_t next = 0;     // server instant of its next event
    int64_t frame = -1;    // index in progress
    uint32_t pass = 0;     // passes of it counted
    int64_t end = 0;       // Shares: end of its share; Tasks: end of its task
    bool loading = false;  // a session started, first pass not yet
    uint64_t sessionPasses = 0;
};

// Runs the farm to its end, one record per pass to the forecaster, and takes
// the checkpoints as the passes cross them.
FarmRun RunFarm(const Scenario &sc, FarmForecaster &ff) {
    FarmRun run;
    std::vector<Node> nodes(sc.nodes.size());
    std::deque<int64_t> queue;  // OneAtATime: frames; Tasks: task starts
    uint32_t rng = 12345;
    const auto jitter = [&rng] {
        rng = rng * 1103515245u + 12345u;
        return 1.0 + 0.05 * ((static_cast<double>((rng >> 8) & 0xFFFF) / 65535.0) * 2 - 1);
    };
    if (sc.handout == Handout::OneAtATime)
        for (int64_t f = 0; f < kFrames; ++f) queue.push_back(f);
    if (sc.handout == Handout::Tasks)
        for (int64_t f = 0; f < kFrames; f += kTaskFrames) queue.push_back(f);
    int64_t starters = 0;
    for (const NodePlan &n : sc.nodes) starters += n.joinAt == 0.0;
    uint64_t passes = 0, folded = 0;  // over live sessions, and ended ones
    int64_t finished = 0;
    size_t nextCheck = 0;
    const uint32_t total = kFrames * kPpf;
    std::vector<std::pair<int64_t, int64_t>> orphans;  // Shares: [from, to) of dead nodes
    std::string identity;

    const auto clockOf = [](size_t i, uint64_t at) { return i == 1 ? at + kSkewTicks : at; };
    const auto working = [&] {
        std::vector<int32_t> cpus;
        for (size_t i = 0; i < nodes.size(); ++i)
            if (nodes[i].live) cpus.push_back(static_cast<int32_t>(i));
        return cpus;
    };
    const auto send = [&](size_t i, uint64_t at) {
        ff.Observe(nodes[i].plugin.r, at);
        if (identity.empty()) identity = JobIdentityBytes(nodes[i].plugin.r);
    };
    // A node takes its next frame (or task), or -1.
    const auto take = [&](size_t i) -> int64_t {
        Node &n = nodes[i];
        switch (sc.handout) {
        case Handout::Shares:
            if (n.frame + 1 < n.end) return n.frame + 1;
            if (!orphans.empty()) {
                n.end = orphans.front().second;
                const int64_t f = orphans.front().first;
                orphans.erase(orphans.begin());
                return f;
            }
            return -1;
        case Handout::OneAtATime:
        case Handout::Tasks:
            if (queue.empty()) return -1;
            const int64_t f = queue.front();
            queue.pop_front();
            if (sc.handout == Handout::Tasks) n.end = std::min<int64_t>(f + kTaskFrames, kFrames);
            return f;
        }
        return -1;
    };
    const auto startSession = [&](size_t i, uint64_t at) {
        Node &n = nodes[i];
        n.plugin.Start(clockOf(i, at), static_cast<int32_t>(i));
        n.live = true;
        n.loading = true;
        n.sessionPasses = 0;
        n.pass = 0;
        send(i, at);
        n.next = at + static_cast<uint64_t>(kLoadSeconds * kSecond);
    };
    const auto endSession = [&](size_t i, uint64_t at) {
        Node &n = nodes[i];
        ff.Observe(n.plugin.r, at);  // the last state of a closed connection
        n.live = false;
        folded += n.sessionPasses;
        passes -= n.sessionPasses;
    };
    // Shares: the starting nodes split the range; the first join takes the
    // second half of the largest remainder.
    int64_t shareNo = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].plan = sc.nodes[i];
        if (sc.nodes[i].joinAt != 0.0) continue;
        if (sc.handout == Handout::Shares) {
            nodes[i].frame = kFrames * shareNo / starters - 1;  // before its first
            nodes[i].end = kFrames * (shareNo + 1) / starters;
            ++shareNo;
        }
        nodes[i].joined = true;
        startSession(i, kNow + i * kSecond);
    }
    uint64_t now = kNow;
    while (true) {
        size_t i = nodes.size();
        for (size_t k = 0; k < nodes.size(); ++k)
            if (nodes[k].live && (i == nodes.size() || nodes[k].next < nodes[i].next)) i = k;
        if (i == nodes.size()) break;
        Node &n = nodes[i];
        now = n.next;
        if (finished >= n.plan.dieAt * kFrames) {  // dies: its frame and its share go back
            n.dead = true;
            endSession(i, now);
            if (sc.handout == Handout::Shares) orphans.push_back({n.frame, n.end});
            if (sc.handout == Handout::OneAtATime) queue.push_front(n.frame);
            if (sc.handout == Handout::Tasks) queue.push_front(n.end - kTaskFrames);
            continue;
        }
        // The pass in progress ends (or the load): the next one starts with a count.
        int64_t frame = n.frame;
        if (n.loading) {
            n.loading = false;
            frame = take(i);
            n.pass = 0;
        } else if (n.pass == kPpf) {
            ++finished;
            const bool inTask = sc.handout == Handout::Tasks && n.frame + 1 < n.end;
            frame = sc.handout != Handout::Tasks ? take(i) : inTask ? n.frame + 1 : -1;
            n.pass = 0;
            for (size_t k = 0; k < nodes.size(); ++k) {
                Node &j = nodes[k];
                if (j.joined || finished < j.plan.joinAt * kFrames) continue;
                j.joined = true;
                if (sc.handout == Handout::Shares) {
                    size_t big = nodes.size();
                    for (size_t m = 0; m < nodes.size(); ++m)
                        if (nodes[m].live && (big == nodes.size() || nodes[m].end - nodes[m].frame > nodes[big].end - nodes[big].frame)) big = m;
                    const int64_t mid = nodes[big].frame + 1 + (nodes[big].end - nodes[big].frame - 1) / 2;
                    j.frame = mid - 1;
                    j.end = nodes[big].end;
                    nodes[big].end = mid;
                }
                startSession(k, now);
            }
            if (sc.handout == Handout::Tasks && !inTask) {
                // The task is done: the renderer exits, the next task is a new one.
                endSession(i, now);
                if (!queue.empty()) startSession(i, now + kSecond);
                continue;
            }
        }
        if (frame < 0) {
            endSession(i, now);
            continue;
        }
        n.frame = frame;
        ++n.pass;
        n.plugin.Count(clockOf(i, now), kFirst + static_cast<int32_t>(frame) * kStep);
        ++n.sessionPasses;
        ++passes;
        send(i, now);
        n.plugin.r.passStartTime = clockOf(i, now);
        n.next = now + static_cast<uint64_t>(Cost(sc.profile, frame) * n.plan.slowness / kPpf * jitter() * kSecond);
        const uint64_t all = passes + folded;
        while (nextCheck < kCheckPercents.size() && all * 100 >= uint64_t{kCheckPercents[nextCheck]} * total) {
            Checkpoint &c = run.checks[nextCheck++];
            c.at = now;
            const std::vector<int32_t> cpus = working();
            c.forecast = ff.Forecast(identity, now, cpus);
            double throughput = 0;
            for (const int32_t k : cpus)
                if (nodes[k].plugin.r.recentPassTime > 0) throughput += 1.0 / nodes[k].plugin.r.recentPassTime;
            if (throughput > 0) c.reportEnd = now + static_cast<uint64_t>((total - all) / throughput);
        }
        if (all >= total && run.actualEnd == 0) run.actualEnd = now;
    }
    return run;
}

double ErrorRatio(uint64_t predicted, uint64_t actualEnd, uint64_t at) {
    return (static_cast<double>(predicted) - static_cast<double>(actualEnd)) / static_cast<double>(actualEnd - at);
}

const std::vector<NodePlan> kFour = {{}, {}, {}, {}};
const std::vector<NodePlan> kMixed = {{1}, {2}, {1}, {2}};
const std::vector<NodePlan> kJoin = {{}, {}, {1, 0.3}, {1, 0.3}};
const std::vector<NodePlan> kDie = {{}, {}, {1, 0, 0.4}};

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all;
    for (const Handout h : {Handout::Shares, Handout::OneAtATime}) {
        const bool shares = h == Handout::Shares;
        const char *tag = shares ? "shares" : "one at a time";
        const auto name = [tag](const char *what) { return std::string(what) + ", " + tag; };
        all.push_back({name("constant"), Profile::Constant, h, kFour});
        all.push_back({name("ramp up 1x-3x"), Profile::RampUp, h, kFour});
        all.push_back({name("ramp down 3x-1x"), Profile::RampDown, h, kFour});
        // In shares, the 8x frame lies ahead in one node's share at 25%.
        all.push_back({name("one frame 8x"), Profile::Spike, h, kFour, {shares ? 0.3 : 0.15, 0.12, 0.1, 0.1}});
        // In order, the step at 60% is still ahead at 25% and 50%: those see 1x frames only.
        all.push_back({name("step x2 at 60%"), Profile::Step, h, kFour,
                       shares ? std::array<double, 4>{0.15, 0.12, 0.1, 0.1} : std::array<double, 4>{0.5, 0.5, 0.1, 0.1}});
        all.push_back({name("nodes 1x and 2x"), Profile::Constant, h, kMixed});
        // At 25% the joins at 30% cannot be known: two nodes then do the work of four
        // (an exact forecast for the two errs by (75/2 - (5/2 + 70/4)) / (5/2 + 70/4) = +0.875).
        all.push_back({name("two nodes join at 30%"), Profile::Constant, h, kJoin, {0.9, 0.12, 0.1, 0.1}});
        // At 25% the death at 40% cannot be known.
        all.push_back({name("a node dies at 40%"), Profile::Constant, h, kDie, {shares ? 0.45 : 0.3, 0.12, 0.1, 0.1}});
    }
    all.push_back({"renderer per task, constant", Profile::Constant, Handout::Tasks, kFour});
    // Tasks go out in order: at 25% the ramp is extrapolated from its first quarter.
    all.push_back({"renderer per task, ramp up, nodes 1x and 2x", Profile::RampUp, Handout::Tasks, kMixed, {0.2, 0.12, 0.12, 0.1}});
    return all;
}

TEST(FarmForecast, ScriptedFarms) {
    double sum = 0, sum90 = 0, reportSum = 0;
    int count = 0, count90 = 0;
    std::printf("%-48s %28s   %28s\n", "scenario", "error at 25/50/75/90%", "report-style estimate");
    for (const Scenario &sc : Scenarios()) {
        FarmForecaster ff;
        const FarmRun run = RunFarm(sc, ff);
        ASSERT_GT(run.actualEnd, 0u) << sc.name;
        std::string line, report;
        char cell[32];
        for (size_t p = 0; p < kCheckPercents.size(); ++p) {
            const Checkpoint &c = run.checks[p];
            ASSERT_TRUE(c.forecast && c.forecast->time) << sc.name << " at " << kCheckPercents[p] << "%: no forecast";
            const FarmForecastTime &t = *c.forecast->time;
            EXPECT_LE(t.low, t.completion) << sc.name;
            EXPECT_LE(t.completion, t.high) << sc.name;
            const double e = ErrorRatio(t.completion, run.actualEnd, c.at);
            const double re = c.reportEnd ? ErrorRatio(*c.reportEnd, run.actualEnd, c.at) : NAN;
            std::snprintf(cell, sizeof cell, " %+6.3f", e);
            line += cell;
            std::snprintf(cell, sizeof cell, " %+6.3f", re);
            report += cell;
            EXPECT_LE(std::fabs(e), sc.tolerance[p])
                << sc.name << " at " << kCheckPercents[p] << "%: error ratio " << e << " (report-style estimate " << re << ")";
            sum += std::fabs(e);
            reportSum += std::isnan(re) ? 0 : std::fabs(re);
            ++count;
            if (kCheckPercents[p] == 90) {
                sum90 += std::fabs(e);
                ++count90;
            }
        }
        std::printf("%-48s %28s   %28s\n", sc.name.c_str(), line.c_str(), report.c_str());
    }
    std::printf("mean |error ratio| %.3f (at 90%%: %.3f); report-style %.3f\n", sum / count, sum90 / count90,
                reportSum / count);
    EXPECT_LE(sum / count, 0.2);
    EXPECT_LE(sum90 / count90, 0.1);
}


// ---- Calibration --------------------------------------------------------------

TEST(ForecastCalibration, RangesFromKnownErrors) {
    struct Case {
        const char *what;
        std::vector<double> logErrors;  // log(actual / predicted remaining), oldest first
        double low, high;
    };
    std::vector<double> spread, late, window;
    for (int i = 0; i <= 20; ++i) spread.push_back(-1.0 + 0.1 * i);  // -1 .. 1: P10 -0.8, P90 0.8
    for (int i = 0; i < 30; ++i) late.push_back(std::log(2.0));       // always twice as long as told
    for (int i = 0; i < 200; ++i) window.push_back(std::log(3.0));
    for (int i = 0; i < 200; ++i) window.push_back(std::log(1.5));    // only the newest 200 count
    const std::vector<Case> cases = {
        {"none yet: the fixed range", {}, 0.5, 2.0},
        {"19 runs: still the fixed range", std::vector<double>(19, 0.3), 0.5, 2.0},
        {"-1..1 in steps of 0.1", spread, std::exp(-0.8), std::exp(0.8)},
        {"always late: low stays at the forecast", late, 1.0, 2.0},
        {"the newest window only", window, 1.0, 1.5},
    };
    for (const Case &c : cases) {
        ForecastCalibration cal;
        for (const double e : c.logErrors) cal.Add(2, 100.0, 100.0 * std::exp(e));
        const auto [low, high] = cal.Range(2);
        EXPECT_NEAR(low, c.low, 1e-9) << c.what;
        EXPECT_NEAR(high, c.high, 1e-9) << c.what;
        EXPECT_LE(cal.errors[2].size(), ForecastCalibration::kCalibrationWindow) << c.what;
        EXPECT_EQ(cal.Range(1), std::make_pair(0.5, 2.0)) << c.what << ": other points keep their own";
    }
    ForecastCalibration cal;
    for (const auto &[p, a] : std::vector<std::pair<double, double>>{{0, 1}, {1, 0}, {-1, 1}, {NAN, 1}, {1, INFINITY}})
        cal.Add(0, p, a);
    cal.Add(7, 1, 2);
    EXPECT_TRUE(cal.errors[0].empty()) << "remainders that are not positive and finite score nothing";
    for (const auto &[percent, point] : std::vector<std::pair<double, size_t>>{{0, 0}, {10, 0}, {24.9, 0}, {25, 1}, {89.9, 3}, {100, 4}})
        EXPECT_EQ(ForecastCalibration::PointFor(percent), point) << percent << "%";
}

TEST(ForecastCalibration, RangeCoversFourFifthsOfNewErrors) {
    // Errors drawn from a normal law (mean 0.1, deviation 0.3) by a fixed generator.
    uint64_t state = 88172645463325252ULL;
    const auto uniform = [&state] {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
    };
    const auto draw = [&] { return 0.1 + 0.3 * std::sqrt(-2 * std::log(uniform())) * std::cos(6.283185307179586 * uniform()); };
    ForecastCalibration cal;
    for (int i = 0; i < 200; ++i) cal.Add(4, 60.0, 60.0 * std::exp(draw()));
    const auto [low, high] = cal.Range(4);
    int inside = 0;
    constexpr int kTrials = 4000;
    for (int i = 0; i < kTrials; ++i) {
        const double actual = 60.0 * std::exp(draw());
        inside += actual >= 60.0 * low && actual <= 60.0 * high;
    }
    EXPECT_NEAR(static_cast<double>(inside) / kTrials, 0.8, 0.05) << "range x" << low << " .. x" << high;
}

// ---- Hostile records ------------------------------------------------------------

// A job's records as a test writes them: one CPU, frames from first by step.
struct Script {
    StatusRecord r{};
    uint64_t at = kNow;
    uint32_t forcedTotal = 0;  // a total other than the range gives
    explicit Script(int32_t first = 1, int32_t last = 100, int32_t step = 1, int32_t cpu = 0) {
        std::memcpy(r.signature, RecordSignature, sizeof r.signature);
        std::strcpy(r.sceneName, "Quay");
        r.sceneFirstFrame = first;
        r.sceneLastFrame = last;
        r.sceneFrameStep = step;
        r.cpuIndex = cpu;
        r.firstRenderedFrame = -1;
        r.startTime = r.passStartTime = at;
    }
    // One pass of frame, lasting seconds, as the plug-in counts it (ppf passes per frame once fixed).
    void Pass(FarmForecaster &ff, int32_t frame, double seconds, uint32_t ppf = 1) {
        at += static_cast<uint64_t>(seconds * kSecond);
        r.lastPassTime = static_cast<int64_t>(at - r.passStartTime);
        r.currentFrame = frame;
        if (r.firstRenderedFrame == -1) r.firstRenderedFrame = frame;
        r.passesPerFrame = ppf;
        r.passesPerFrameFixed = frame != r.firstRenderedFrame;
        const uint32_t span = static_cast<uint32_t>(r.sceneLastFrame) - static_cast<uint32_t>(r.sceneFirstFrame) + 1;
        r.totalPasses = r.sceneFrameStep == 0 ? 0 : span * ppf / static_cast<uint32_t>(r.sceneFrameStep);
        if (forcedTotal) r.totalPasses = forcedTotal;
        ++r.passesDone;
        r.elapsedTime = static_cast<int64_t>(at - r.startTime);
        r.recentPassTime = r.averagePassTime = r.elapsedTime / r.passesDone;
        ff.Observe(r, at);
        r.passStartTime = at;
    }
    std::string Identity() const { return JobIdentityBytes(r); }
};

// A forecast that says something is sane: completion at or after now and inside its range.
void ExpectSane(const std::optional<FarmForecast> &f, uint64_t now, const char *what) {
    if (!f || !f->time) return;
    EXPECT_GE(f->time->completion, now) << what;
    EXPECT_LE(f->time->low, f->time->completion) << what;
    EXPECT_LE(f->time->completion, f->time->high) << what;
    EXPECT_TRUE(std::isfinite(f->time->remainingSeconds)) << what;
}

TEST(FarmForecast, HostileRecords) {
    const std::vector<int32_t> cpu0 = {0};
    struct Case {
        const char *what;
        void (*script)(FarmForecaster &ff, Script &s);
        Script start;
        enum Expect { NoForecast, NoTime, Time } expect;  // none; no completion; a sane one or none
    };
    const std::vector<Case> cases = {
        {"frames outside the range or off the step",
         [](FarmForecaster &ff, Script &s) {
             for (const int32_t f : {500, 500, -7, -7, 2, 2, 4000})
                 s.Pass(ff, f, 10);
         },
         Script(1, 99, 2), Case::NoTime},
        {"a step of 0", [](FarmForecaster &ff, Script &s) { for (int32_t f = 1; f < 5; ++f) s.Pass(ff, f, 10); }, Script(1, 100, 0),
         Case::NoForecast},
        {"a negative step", [](FarmForecaster &ff, Script &s) { for (int32_t f = 1; f < 5; ++f) s.Pass(ff, f, 10); },
         Script(100, 1, -1), Case::NoForecast},
        {"passes per frame 0",
         [](FarmForecaster &ff, Script &s) { for (int32_t f = 1; f < 5; ++f) s.Pass(ff, f, 10, 0); }, Script(), Case::NoForecast},
        {"a range of 2^31 frames: rates, no ledger",
         [](FarmForecaster &ff, Script &s) { for (int32_t f = 0; f < 5; ++f) s.Pass(ff, f, 10, 1); },
         Script(0, std::numeric_limits<int32_t>::max() - 1), Case::Time},
        {"a range of 2^31 frames whose total wraps",
         [](FarmForecaster &ff, Script &s) { for (int32_t f = 0; f < 5; ++f) s.Pass(ff, f, 10, 4); },
         Script(0, std::numeric_limits<int32_t>::max() - 1), Case::NoForecast},
        {"a total that wraps in the plug-in's 32 bits",
         [](FarmForecaster &ff, Script &s) { for (int32_t f = 0; f < 5; ++f) s.Pass(ff, f, 10, 8); }, Script(0, 1 << 30),
         Case::NoForecast},
        {"a total the range does not give",
         [](FarmForecaster &ff, Script &s) {
             s.forcedTotal = 1000;
             for (int32_t f = 1; f < 5; ++f) s.Pass(ff, f, 10);
         },
         Script(), Case::NoForecast},
        {"a CPU whose frame goes back",
         [](FarmForecaster &ff, Script &s) {
             for (const int32_t f : {10, 11, 12, 5, 6, 11, 3})
                 s.Pass(ff, f, 10);
         },
         Script(), Case::Time},
        {"passes that go back, a clock that goes back",
         [](FarmForecaster &ff, Script &s) {
             for (int32_t f = 1; f < 6; ++f) s.Pass(ff, f, 10);
             s.r.passesDone = 2;
             ff.Observe(s.r, s.at);
             s.r.passesDone = 9;
             s.r.passStartTime -= 3600 * kSecond;
             ff.Observe(s.r, s.at);
         },
         Script(), Case::Time},
        {"a start more than a day ahead of the server",
         [](FarmForecaster &ff, Script &s) {
             s.r.startTime = s.r.passStartTime = s.at + 2 * 24 * 3600 * kSecond;
             for (int32_t f = 1; f < 5; ++f) s.Pass(ff, f, 10);
         },
         Script(), Case::NoForecast},
        {"no frame finished yet", [](FarmForecaster &ff, Script &s) { s.Pass(ff, 1, 10, 4); }, Script(), Case::NoTime},
    };
    for (const Case &c : cases) {
        FarmForecaster ff;
        Script s = c.start;
        c.script(ff, s);
        const auto f = ff.Forecast(s.Identity(), s.at, cpu0);
        ExpectSane(f, s.at, c.what);
        EXPECT_LE(ff.LedgerFrames(s.Identity()), static_cast<size_t>(kMaxLedgerFrames)) << c.what;
        if (c.expect == Case::Time && s.r.sceneLastFrame == std::numeric_limits<int32_t>::max() - 1) {
            EXPECT_EQ(ff.LedgerFrames(s.Identity()), 0u) << c.what;
            EXPECT_TRUE(f && f->time) << c.what;
        }
        switch (c.expect) {
        case Case::NoForecast: EXPECT_FALSE(f) << c.what; break;
        case Case::NoTime: EXPECT_FALSE(f && f->time) << c.what; break;
        case Case::Time: break;  // a forecast or none, but sane
        }
        EXPECT_FALSE(ff.Forecast(s.Identity(), s.at, {}) && ff.Forecast(s.Identity(), s.at, {})->time) << c.what << ": no CPU working";
    }
}

TEST(FarmForecast, BoundsAndForgetting) {
    const std::vector<int32_t> cpu0 = {0};
    {  // The ledger's cap: a range of exactly the cap keeps one, one frame more falls back to rates.
        FarmForecaster ff;
        Script at(0, static_cast<int32_t>(kMaxLedgerFrames) - 1), past(0, static_cast<int32_t>(kMaxLedgerFrames));
        for (int32_t f = 0; f < 3; ++f) at.Pass(ff, f, 10), past.Pass(ff, f, 10);
        EXPECT_EQ(ff.LedgerFrames(at.Identity()), static_cast<size_t>(kMaxLedgerFrames));
        EXPECT_EQ(ff.LedgerFrames(past.Identity()), 0u);
        const auto f = ff.Forecast(past.Identity(), past.at, cpu0);
        ASSERT_TRUE(f && f->time);
        EXPECT_NEAR(f->time->remainingSeconds, (kMaxLedgerFrames + 1 - 3) * 10.0, 1.0) << "remaining passes / the CPU's rate";
    }
    {  // Jobs: at most kMaxTrackedRuns, and those not seen for the continuation time go.
        FarmForecaster ff;
        Script s;
        for (size_t j = 0; j < kMaxTrackedRuns + 50; ++j) {
            std::snprintf(s.r.sceneName, sizeof s.r.sceneName, "job %zu", j);
            ff.Observe(s.r, s.at);
        }
        EXPECT_EQ(ff.TrackedJobs(), kMaxTrackedRuns);
        std::strcpy(s.r.sceneName, "later");
        s.at += kRunContinueTicks + kSecond;
        ff.Observe(s.r, s.at);
        EXPECT_EQ(ff.TrackedJobs(), 1u);
    }
    {  // Sessions past the cap fold into a sum: passes never go back.
        FarmForecaster ff;
        Script s;
        uint64_t passes = 0;
        for (size_t k = 0; k < kMaxForecastSessions + 500; ++k) {
            s.r.startTime = kNow + k;
            s.r.passesDone = 3;
            s.r.passStartTime = s.r.startTime + 1;
            s.r.elapsedTime = s.r.lastPassTime = 10;
            ff.Observe(s.r, s.at + k);
            passes += 3;
        }
        s.r.passesPerFrame = 1;
        s.r.passesPerFrameFixed = 1;
        s.r.totalPasses = 100;
        s.r.passesDone = 3;
        ff.Observe(s.r, s.at + kMaxForecastSessions + 500);
        const auto f = ff.Forecast(s.Identity(), s.at + kMaxForecastSessions + 500, cpu0);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->passesDone, passes);
    }
}

TEST(FarmForecast, PluginClockOffsetChangesNothing) {
    // The same render, once with the plug-in's clock right and once three hours behind.
    std::optional<uint64_t> completion[2];
    for (int skewed = 0; skewed < 2; ++skewed) {
        FarmForecaster ff;
        Script s;
        const uint64_t skew = skewed ? 3 * 3600 * kSecond : 0;
        s.r.startTime = s.r.passStartTime = s.at - skew;
        for (int32_t f = 1; f <= 20; ++f) {
            for (uint32_t p = 0; p < 2; ++p) {
                s.at += 5 * kSecond;
                s.r.currentFrame = f;
                if (s.r.firstRenderedFrame == -1) s.r.firstRenderedFrame = f;
                s.r.passesPerFrame = 2;
                s.r.passesPerFrameFixed = f > 1;
                s.r.totalPasses = 200;
                ++s.r.passesDone;
                s.r.lastPassTime = static_cast<int64_t>(s.at - skew - s.r.passStartTime);
                s.r.elapsedTime = static_cast<int64_t>(s.at - skew - s.r.startTime);
                s.r.recentPassTime = s.r.lastPassTime;
                ff.Observe(s.r, s.at);
                s.r.passStartTime = s.at - skew;
            }
        }
        const auto f = ff.Forecast(s.Identity(), s.at + 2 * kSecond, std::vector<int32_t>{0});
        ASSERT_TRUE(f && f->time);
        completion[skewed] = f->time->completion;
    }
    EXPECT_EQ(*completion[0], *completion[1]);
    // 80 frames of 10 s after frame 20, whose last pass started 2 s ago.
    EXPECT_NEAR(static_cast<double>(*completion[0] - kNow) / kSecond, 200 + 800 + 3 - 5, 2.0);
}

}  // namespace
