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
struct NodeSpec {
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
    std::vector<NodeSpec> nodes;
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
    NodeSpec spec;
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
    for (const NodeSpec &n : sc.nodes) starters += n.joinAt == 0.0;
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
        nodes[i].spec = sc.nodes[i];
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
        if (finished >= n.spec.dieAt * kFrames) {  // dies: its frame and its share go back
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
                if (j.joined || finished < j.spec.joinAt * kFrames) continue;
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
        n.next = now + static_cast<uint64_t>(Cost(sc.profile, frame) * n.spec.slowness / kPpf * jitter() * kSecond);
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

const std::vector<NodeSpec> kFour = {{}, {}, {}, {}};
const std::vector<NodeSpec> kMixed = {{1}, {2}, {1}, {2}};
const std::vector<NodeSpec> kJoin = {{}, {}, {1, 0.3}, {1, 0.3}};
const std::vector<NodeSpec> kDie = {{}, {}, {1, 0, 0.4}};

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
        // (an exact forecast for the two errs by (75/2 - 5/2 - 70/4) / 20 = +0.75).
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

}  // namespace
