// The farm forecaster: frame ledger, cost fit, CPU speeds, the schedule of the remaining frames, and the calibrated range.
#include "farm_forecast.h"

#include "clock.h"
#include "plausible_record.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <queue>

namespace {

constexpr double kSecondsPerTick = 1.0 / static_cast<double>(kTicksPerSecond);
// Receipt time between sweeps of the jobs not seen for kRunContinueTicks.
constexpr uint64_t kSweepTicks = 60 * kTicksPerSecond;
// The fitted cost stays within these factors of the median frame cost.
constexpr double kClampFactor = 4.0;
// A CPU that left between two tasks of a renderer-per-task farm still counts
// as working for this many of its frame times after its last pass.
constexpr double kRestartFrames = 2.0;
// Pending frames scheduled one by one at the end; the rest as a fluid.
constexpr size_t kTailExtra = 16;
// Ledger steps a single walk may take.
constexpr size_t kWalkLimit = 4096;

double Median(std::vector<double> &v) {
    if (v.empty()) return 0.0;
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    double m = v[mid];
    if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid))) / 2;
    return m;
}

double Quantile(const std::vector<double> &sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const size_t i = static_cast<size_t>(at);
    if (i + 1 >= sorted.size()) return sorted.back();
    return sorted[i] + (at - static_cast<double>(i)) * (sorted[i + 1] - sorted[i]);
}

uint64_t AddSeconds(uint64_t at, double seconds) {
    const double ticks = seconds * static_cast<double>(kTicksPerSecond);
    if (!(ticks > 0.0)) return at;
    const double room = static_cast<double>(std::numeric_limits<uint64_t>::max() - at);
    if (ticks >= room) return std::numeric_limits<uint64_t>::max();
    return at + static_cast<uint64_t>(ticks);
}

// One sample of the fit: frame index and normalised cost.
struct Point {
    double x, z;
};

double L1(const std::vector<Point> &pts, double level, double slope, double origin) {
    double sum = 0.0;
    for (const Point &p : pts) sum += std::fabs(p.z - (level + slope * (p.x - origin)));
    return sum;
}

}  // namespace

size_t ForecastCalibration::PointFor(double percent) {
    size_t point = 0;
    for (size_t i = 0; i < kForecastPercents.size(); ++i)
        if (percent >= static_cast<double>(kForecastPercents[i])) point = i;
    return point;
}

void ForecastCalibration::Add(size_t point, double predictedRemaining, double actualRemaining) {
    if (point >= errors.size()) return;
    if (!(predictedRemaining > 0.0 && actualRemaining > 0.0) || !std::isfinite(predictedRemaining) ||
        !std::isfinite(actualRemaining))
        return;
    std::vector<double> &v = errors[point];
    try {
        v.push_back(std::log(actualRemaining / predictedRemaining));
    } catch (const std::bad_alloc &) {
        return;
    }
    if (v.size() > kCalibrationWindow) v.erase(v.begin(), v.end() - static_cast<std::ptrdiff_t>(kCalibrationWindow));
}

std::pair<double, double> ForecastCalibration::Range(size_t point) const {
    if (point >= errors.size()) return {kFixedLow, kFixedHigh};
    const std::vector<double> &all = errors[point];
    const size_t n = std::min(all.size(), kCalibrationWindow);
    if (n < kCalibrationMinRuns) return {kFixedLow, kFixedHigh};
    std::vector<double> sorted;
    try {
        sorted.reserve(n);
    } catch (const std::bad_alloc &) {
        return {kFixedLow, kFixedHigh};
    }
    for (size_t i = all.size() - n; i < all.size(); ++i)
        if (std::isfinite(all[i])) sorted.push_back(all[i]);
    if (sorted.size() < kCalibrationMinRuns) return {kFixedLow, kFixedHigh};
    std::sort(sorted.begin(), sorted.end());
    const double low = std::exp(Quantile(sorted, 0.1)), high = std::exp(Quantile(sorted, 0.9));
    return {std::min(low, 1.0), std::max(high, 1.0)};
}

double FarmForecaster::CostFit::At(double frame) const {
    double c = level;
    if (kind == Line) c = level + slope * (frame - origin);
    if (kind == Step) c = frame >= origin ? after : level;
    return std::clamp(c, median / kClampFactor, median * kClampFactor);
}

size_t FarmForecaster::LedgerFrames(std::string_view identity) const {
    const auto it = jobs_.find(std::string(identity));
    return it == jobs_.end() ? 0 : it->second.ledger.size();
}

size_t FarmForecaster::BinOf(const Job &job, int64_t frame) {
    const int64_t bins = static_cast<int64_t>(job.binDone.size());
    return static_cast<size_t>(frame * bins / job.frames);
}

void FarmForecaster::Sweep(uint64_t now) {
    if (now >= lastSweep_ && now - lastSweep_ < kSweepTicks) return;
    lastSweep_ = now;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (it->second.lastSeen + kRunContinueTicks < now) {
            ledgerFrames_ -= static_cast<int64_t>(it->second.ledger.size());
            it = jobs_.erase(it);
        } else {
            ++it;
        }
    }
}

FarmForecaster::Job *FarmForecaster::FindJob(const StatusRecord &r, uint64_t receivedAt) {
    std::string identity = JobIdentityBytes(r);
    auto it = jobs_.find(identity);
    if (it != jobs_.end()) return &it->second;
    if (jobs_.size() >= kMaxTrackedRuns) return nullptr;
    Job job;
    job.first = r.sceneFirstFrame;
    job.last = r.sceneLastFrame;
    job.step = r.sceneFrameStep;
    job.lastSeen = receivedAt;
    if (job.step > 0 && job.last >= job.first)
        job.frames = (int64_t{job.last} - job.first) / job.step + 1;
    // Larger ranges, or past the budget: rates only.
    if (job.frames > 0 && job.frames <= kMaxLedgerFrames && ledgerFrames_ + job.frames <= kLedgerBudgetFrames) {
        const size_t bins = static_cast<size_t>(std::min<int64_t>(job.frames, kFitBins));
        job.ledger.resize(static_cast<size_t>(job.frames));
        job.binDone.assign(bins, 0);
        job.binSamples.resize(bins * kSamplesPerBin);
        job.binNext.assign(bins, 0);
        job.binCount.assign(bins, 0);
    }
    Job &stored = jobs_.emplace(std::move(identity), std::move(job)).first->second;
    ledgerFrames_ += static_cast<int64_t>(stored.ledger.size());
    return &stored;
}

void FarmForecaster::FoldSessions(Job &job) {
    std::vector<std::pair<uint64_t, std::pair<int32_t, uint64_t>>> byAge;
    byAge.reserve(job.sessions.size());
    for (const auto &[key, s] : job.sessions) byAge.push_back({s.lastSeen, key});
    const size_t drop = byAge.size() / 4 + 1;
    std::nth_element(byAge.begin(), byAge.begin() + static_cast<std::ptrdiff_t>(drop - 1), byAge.end());
    for (size_t i = 0; i < drop && i < byAge.size(); ++i) {
        auto it = job.sessions.find(byAge[i].second);
        job.sessions.erase(it);
    }
}

void FarmForecaster::AddSample(Job &job, const Sample &sample) {
    if (!(sample.seconds > 0.0f) || !std::isfinite(sample.seconds)) return;
    const size_t bin = BinOf(job, sample.frame);
    job.binSamples[bin * kSamplesPerBin + job.binNext[bin]] = sample;
    job.binNext[bin] = static_cast<uint8_t>((job.binNext[bin] + 1) % kSamplesPerBin);
    if (job.binCount[bin] < kSamplesPerBin) ++job.binCount[bin];
    if (auto c = job.cpus.find(sample.cpu); c != job.cpus.end()) {
        Cpu &cpu = c->second;
        cpu.recent[cpu.recentNext] = sample;
        cpu.recentNext = static_cast<uint8_t>((cpu.recentNext + 1) % cpu.recent.size());
        if (cpu.recentCount < cpu.recent.size()) ++cpu.recentCount;
    }
    ++job.samplesVersion;
}

// The frame in progress is finished: its passes all counted (exact: the next
// frame began at count, so its cost is known to the tick).
void FarmForecaster::FinishFrame(Job &job, Session &s, uint64_t count, bool exact) {
    LedgerFrame &f = job.ledger[static_cast<size_t>(s.frame)];
    const uint32_t passes = s.passes - s.framePasses0 + (exact ? 0 : 1);  // counted passes of the frame
    double seconds = 0.0;
    if (exact) {
        seconds = static_cast<double>(count - s.frameCount0) * kSecondsPerTick;
    } else if (passes >= 2 && job.ppf >= 2) {
        // Its last pass is under way: the passes between counts tell its cost.
        seconds = static_cast<double>(count - s.frameCount0) * kSecondsPerTick * job.ppf / (passes - 1);
    }
    if (!s.frameDone) {
        s.frameDone = true;
        if (!f.done) {
            f.done = 1;
            ++job.binDone[BinOf(job, s.frame)];
            ++job.doneFrames;
        }
        f.cpu = s.cpu;
        f.session = static_cast<uint16_t>(s.number);
        ++job.samplesVersion;
    }
    if (seconds > 0.0 && !s.frameSampled) {
        s.frameSampled = true;
        f.seconds = static_cast<float>(seconds);
        AddSample(job, {static_cast<int32_t>(s.frame), s.cpu, static_cast<float>(seconds)});
    }
}

void FarmForecaster::TrackFrame(Job &job, Session &s, const StatusRecord &r, uint64_t count) {
    int64_t index = -1;
    const int64_t offset = int64_t{r.currentFrame} - job.first;
    if (offset >= 0 && offset % job.step == 0 && offset / job.step < job.frames) index = offset / job.step;
    if (index != s.frame) {
        if (s.frame >= 0) {
            // The frame before is finished when it had all its passes.
            const uint32_t passes = r.passesDone - 1 - s.framePasses0 + 1;
            if (job.ppf == 0 || passes >= job.ppf) FinishFrame(job, s, count, true);
            if (index >= 0) ++(index == s.frame + 1 ? job.steps : job.jumps);
        }
        if (index >= 0 && s.frames++ == 0 && r.passesDone == 1) {
            job.taskLoad[job.loadNext] = static_cast<float>(static_cast<double>(r.elapsedTime) * kSecondsPerTick);
            job.loadNext = static_cast<uint8_t>((job.loadNext + 1) % job.taskLoad.size());
            if (job.loadCount < job.taskLoad.size()) ++job.loadCount;
        }
        s.frame = index;
        s.framePasses0 = r.passesDone;
        s.frameCount0 = count;
        s.frameDone = s.frameSampled = false;
        if (index >= 0 && s.startFrame < 0) s.startFrame = index;
    }
    if (s.frame >= 0 && job.ppf > 0 && r.passesDone - s.framePasses0 + 1 >= job.ppf) FinishFrame(job, s, count, false);
}

void FarmForecaster::Observe(const StatusRecord &r, uint64_t receivedAt) {
    if (!HasRecordSignature(r) || !IsPlausibleRecord(r, receivedAt)) return;
    Job *jobPtr = nullptr;
    try {
        Sweep(receivedAt);
        jobPtr = FindJob(r, receivedAt);
        if (!jobPtr) return;
        Job &job = *jobPtr;
        job.lastSeen = std::max(job.lastSeen, receivedAt);
        if (r.passesPerFrameFixed && r.passesPerFrame > 0) {
            if (job.ppf == 0) job.ppf = r.passesPerFrame;
            if (r.passesPerFrame != job.ppf) {
                job.ppfConflict = true;
                return;
            }
            job.totalPasses = std::max(job.totalPasses, r.totalPasses);
        }
        const std::pair<int32_t, uint64_t> key{r.cpuIndex, r.startTime};
        auto sit = job.sessions.find(key);
        if (sit == job.sessions.end()) {
            if (job.sessions.size() >= kMaxForecastSessions) FoldSessions(job);
            Session fresh;
            fresh.cpu = r.cpuIndex;
            fresh.number = job.nextSession++;
            sit = job.sessions.emplace(key, fresh).first;
            auto cit = job.cpus.find(r.cpuIndex);
            if (cit == job.cpus.end() && job.cpus.size() < kMaxForecastCpus) cit = job.cpus.emplace(r.cpuIndex, Cpu{}).first;
            if (cit != job.cpus.end()) {
                // The session this one follows ran one task: its frames tell the task size.
                if (const auto before = job.sessions.find(cit->second.latest); before != job.sessions.end() && before->second.frames > 0) {
                    job.taskFrames[job.taskNext] = before->second.frames;
                    job.taskNext = static_cast<uint8_t>((job.taskNext + 1) % job.taskFrames.size());
                    if (job.taskCount < job.taskFrames.size()) ++job.taskCount;
                }
                ++cit->second.sessions;
                cit->second.latest = key;
            }
        }
        Session &s = sit->second;
        if (auto cit = job.cpus.find(r.cpuIndex); cit != job.cpus.end())
            cit->second.lastSeen = std::max(cit->second.lastSeen, receivedAt);
        s.lastSeen = std::max(s.lastSeen, receivedAt);
        // Passes never go back: an older state of the session adds nothing.
        if (r.passesDone < s.passes || (r.passesDone == s.passes && s.passes > 0)) return;
        job.passes += r.passesDone - s.passes;
        s.passes = r.passesDone;
        s.recentPassTime = r.recentPassTime > 0 ? r.recentPassTime : r.averagePassTime;
        if (r.passesDone == 0 || job.ledger.empty()) return;
        // The instant of this pass on the plug-in's clock; one that goes back
        // times nothing.
        if (static_cast<uint64_t>(r.lastPassTime) > ~0ULL - r.passStartTime) return;
        const uint64_t count = r.passStartTime + static_cast<uint64_t>(r.lastPassTime);
        if (count < s.lastCount) return;
        s.lastCount = count;
        s.offset = static_cast<int64_t>(receivedAt - count);  // both from 2000 to a day past now
        TrackFrame(job, s, r, count);
    } catch (const std::bad_alloc &) {
        // Half an update is worse than none: the job starts again.
        if (jobPtr) {
            const std::string identity = JobIdentityBytes(r);
            auto it = jobs_.find(identity);
            if (it != jobs_.end()) {
                ledgerFrames_ -= static_cast<int64_t>(it->second.ledger.size());
                jobs_.erase(it);
            }
        }
    }
}

// The cost by frame number over the sampled frames, and every CPU's speed:
// a fit with all speeds 1, speeds against it, then the fit of the costs each
// divided by its CPU's speed and the speeds again.
void FarmForecaster::Fit(Job &job) {
    std::vector<Point> pts;
    std::vector<int32_t> cpuOf;
    pts.reserve(kFitSamples);
    cpuOf.reserve(kFitSamples);
    for (size_t b = 0; b < job.binCount.size(); ++b)
        for (size_t i = 0; i < job.binCount[b]; ++i) {
            const Sample &sm = job.binSamples[b * kSamplesPerBin + i];
            pts.push_back({static_cast<double>(sm.frame), static_cast<double>(sm.seconds)});
            cpuOf.push_back(sm.cpu);
        }
    for (auto &[index, cpu] : job.cpus) cpu.speed = 1.0;
    std::vector<Point> norm;
    std::vector<double> scratch;
    CostFit fit;
    for (int round = 0; round < 2; ++round) {
        norm = pts;
        for (size_t i = 0; i < pts.size(); ++i) {
            const auto c = job.cpus.find(cpuOf[i]);
            norm[i].z = pts[i].z / (c == job.cpus.end() ? 1.0 : c->second.speed);
        }
        // Level: the median.
        scratch.clear();
        for (const Point &p : norm) scratch.push_back(p.z);
        fit = CostFit{};
        fit.median = fit.level = Median(scratch);
        double best = L1(norm, fit.level, 0.0, 0.0);
        std::sort(norm.begin(), norm.end(), [](const Point &a, const Point &b) { return a.x < b.x; });
        const size_t n = norm.size();
        if (n >= 8) {
            // Line: least squares through the medians of eight groups, taken
            // only when they trend (Kendall's tau) and it fits much better.
            constexpr size_t kGroups = 8;
            std::array<double, kGroups> gx{}, gz{};
            for (size_t g = 0; g < kGroups; ++g) {
                const size_t lo = g * n / kGroups, hi = (g + 1) * n / kGroups;
                scratch.clear();
                for (size_t i = lo; i < hi; ++i) scratch.push_back(norm[i].x);
                gx[g] = Median(scratch);
                scratch.clear();
                for (size_t i = lo; i < hi; ++i) scratch.push_back(norm[i].z);
                gz[g] = Median(scratch);
            }
            int concordant = 0;
            double mx = 0, mz = 0;
            for (size_t i = 0; i < kGroups; ++i) {
                mx += gx[i] / kGroups;
                mz += gz[i] / kGroups;
                for (size_t j = i + 1; j < kGroups; ++j) {
                    const double d = (gx[j] - gx[i]) * (gz[j] - gz[i]);
                    concordant += d > 0 ? 1 : d < 0 ? -1 : 0;
                }
            }
            double sxz = 0, sxx = 0;
            for (size_t i = 0; i < kGroups; ++i) {
                sxz += (gx[i] - mx) * (gz[i] - mz);
                sxx += (gx[i] - mx) * (gx[i] - mx);
            }
            const double tau = concordant / 28.0;
            if (sxx > 0 && std::fabs(tau) >= 0.6) {
                const double slope = sxz / sxx, l1 = L1(norm, mz, slope, mx);
                if (l1 < 0.8 * best) {
                    fit.kind = CostFit::Line;
                    fit.level = mz;
                    fit.slope = slope;
                    fit.origin = mx;
                    best = l1;
                }
            }
            // Step: two medians split where it fits best, taken when it
            // halves the error and the levels differ by more than 15%.
            double stepL1 = std::numeric_limits<double>::max(), stepBefore = 0, stepAfter = 0, stepAt = 0;
            for (size_t j = 2; j <= 14; ++j) {
                const size_t cut = j * n / 16;
                if (cut == 0 || cut >= n || norm[cut].x == norm[cut - 1].x) continue;
                scratch.clear();
                for (size_t i = 0; i < cut; ++i) scratch.push_back(norm[i].z);
                const double before = Median(scratch);
                scratch.clear();
                for (size_t i = cut; i < n; ++i) scratch.push_back(norm[i].z);
                const double after = Median(scratch);
                double l1 = 0;
                for (size_t i = 0; i < n; ++i) l1 += std::fabs(norm[i].z - (i < cut ? before : after));
                if (l1 < stepL1) {
                    stepL1 = l1;
                    stepBefore = before;
                    stepAfter = after;
                    stepAt = norm[cut].x;
                }
            }
            if (stepL1 < 0.5 * best && stepBefore > 0 && std::fabs(stepAfter / stepBefore - 1.0) > 0.15) {
                fit.kind = CostFit::Step;
                fit.level = stepBefore;
                fit.after = stepAfter;
                fit.origin = stepAt;
            }
        }
        // Speeds: each CPU's median of observed over fitted cost, the median CPU at 1.
        std::vector<double> speeds;
        for (auto &[index, cpu] : job.cpus) {
            if (cpu.recentCount == 0) continue;
            scratch.clear();
            for (size_t i = 0; i < cpu.recentCount; ++i) {
                const double fitted = fit.At(cpu.recent[i].frame);
                if (fitted > 0) scratch.push_back(cpu.recent[i].seconds / fitted);
            }
            if (scratch.empty()) continue;
            cpu.speed = Median(scratch);
            if (!(cpu.speed > 0) || !std::isfinite(cpu.speed)) cpu.speed = 1.0;
            speeds.push_back(cpu.speed);
        }
        const double typical = Median(speeds);
        if (typical > 0)
            for (auto &[index, cpu] : job.cpus) cpu.speed = cpu.recentCount ? cpu.speed / typical : 1.0;
    }
    job.fit = fit;
    // Fitted seconds per bin (at its middle, split at a step), then prefix sums.
    const size_t bins = job.binDone.size();
    job.binCost.assign(bins + 1, 0.0);
    for (size_t b = 0; b < bins; ++b) {
        const int64_t lo = (static_cast<int64_t>(b) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
        const int64_t hi = (static_cast<int64_t>(b + 1) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
        double cost = static_cast<double>(hi - lo) * fit.At((static_cast<double>(lo) + static_cast<double>(hi - 1)) / 2);
        if (fit.kind == CostFit::Step && fit.origin > static_cast<double>(lo) && fit.origin <= static_cast<double>(hi - 1)) {
            const int64_t split = static_cast<int64_t>(std::ceil(fit.origin));
            cost = static_cast<double>(split - lo) * fit.At(static_cast<double>(lo)) +
                   static_cast<double>(hi - split) * fit.At(static_cast<double>(hi - 1));
        }
        job.binCost[b + 1] = job.binCost[b] + cost;
    }
    job.fitVersion = job.samplesVersion;
}

double FarmForecaster::SumCost(const Job &job, int64_t from, int64_t to) {
    const auto upTo = [&job](int64_t x) {
        if (x <= 0) return 0.0;
        if (x >= job.frames) return job.binCost.back();
        const size_t bins = job.binDone.size();
        const size_t b = BinOf(job, x);
        const int64_t lo = (static_cast<int64_t>(b) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
        const int64_t hi = (static_cast<int64_t>(b + 1) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
        const double part = hi > lo ? static_cast<double>(x - lo) / static_cast<double>(hi - lo) : 0.0;
        return job.binCost[b] + part * (job.binCost[b + 1] - job.binCost[b]);
    };
    return to > from ? std::max(0.0, upTo(to) - upTo(from)) : 0.0;
}

std::optional<FarmForecast> FarmForecaster::Forecast(std::string_view identity, uint64_t now,
                                                     std::span<const int32_t> workingCpus) {
    try {
        Sweep(now);
        const auto jit = jobs_.find(std::string(identity));
        if (jit == jobs_.end()) return std::nullopt;
        Job &job = jit->second;
        // The range and the passes must agree as the plug-in computes its
        // total: (last - first + 1) x passes per frame / step, without wrapping.
        if (job.frames <= 0 || job.ppf == 0 || job.ppfConflict) return std::nullopt;
        const int64_t product = (int64_t{job.last} - job.first + 1) * int64_t{job.ppf};
        if (product > int64_t{std::numeric_limits<uint32_t>::max()}) return std::nullopt;
        const uint32_t expected = static_cast<uint32_t>(product / job.step);
        if (expected == 0 || job.totalPasses != expected) return std::nullopt;

        FarmForecast out;
        out.totalPasses = job.totalPasses;
        out.passesDone = job.passes;
        out.percent = static_cast<double>(out.passesDone) * 100.0 / job.totalPasses;
        const uint64_t remainingPasses = out.passesDone >= job.totalPasses ? 0 : job.totalPasses - out.passesDone;
        const auto range = calibration_.Range(ForecastCalibration::PointFor(*out.percent));
        const auto finish = [&](double seconds) {
            FarmForecastTime t;
            t.remainingSeconds = std::max(0.0, seconds);
            t.completion = AddSeconds(now, t.remainingSeconds);
            t.low = AddSeconds(now, t.remainingSeconds * range.first);
            t.high = AddSeconds(now, t.remainingSeconds * range.second);
            out.time = t;
            return out;
        };
        if (remainingPasses == 0) return finish(0.0);
        uint64_t cpusHash = 1469598103934665603ULL;
        for (const int32_t c : workingCpus) cpusHash = (cpusHash ^ static_cast<uint32_t>(c)) * 1099511628211ULL;
        if (job.scheduled && cpusHash == job.scheduledCpus && now >= job.scheduledAt && now - job.scheduledAt < kScheduleTicks) {
            if (!job.scheduledEnd) return out;
            return finish(*job.scheduledEnd > now ? static_cast<double>(*job.scheduledEnd - now) * kSecondsPerTick : 0.0);
        }
        job.scheduled = true;
        job.scheduledAt = now;
        job.scheduledCpus = cpusHash;
        job.scheduledEnd.reset();
        const auto schedule = [&]() -> std::optional<double> {

        // The working CPUs: those given, and those of a renderer-per-task farm
        // that finished their task a moment ago and will start the next.
        struct Worker {
            int32_t cpu;
            const Session *session;
            double speed;
            double free = 0.0;       // seconds from now until it can take a frame
            double lastCount = 0.0;  // seconds from now of its last pass's start
            int64_t position = -1;   // frame index in progress
        };
        std::vector<Worker> workers;
        std::vector<int32_t> given(workingCpus.begin(), workingCpus.end());
        std::sort(given.begin(), given.end());
        given.erase(std::unique(given.begin(), given.end()), given.end());
        const auto sessionOf = [&job](const Cpu &cpu) -> const Session * {
            const auto s = job.sessions.find(cpu.latest);
            return s == job.sessions.end() ? nullptr : &s->second;
        };
        for (const int32_t index : given) {
            if (index < 0) continue;
            const auto c = job.cpus.find(index);
            workers.push_back({index, c == job.cpus.end() ? nullptr : sessionOf(c->second), 1.0});
        }

        // Beyond the ledger's cap: per-CPU rates.
        if (job.ledger.empty()) {
            double rate = 0.0;
            for (const Worker &w : workers)
                if (w.session && w.session->recentPassTime > 0) rate += 1.0 / static_cast<double>(w.session->recentPassTime);
            if (rate <= 0.0) return std::nullopt;
            return static_cast<double>(remainingPasses) / rate * kSecondsPerTick;
        }
        if (job.doneFrames == 0) return std::nullopt;
        if (job.fitVersion != job.samplesVersion) Fit(job);
        if (!(job.fit.median > 0.0)) return std::nullopt;

        for (auto &[index, cpu] : job.cpus) {
            if (std::binary_search(given.begin(), given.end(), index) || cpu.sessions < 2) continue;
            const Session *s = sessionOf(cpu);
            const double since = now > cpu.lastSeen ? static_cast<double>(now - cpu.lastSeen) * kSecondsPerTick : 0.0;
            if (s && s->frameDone && since <= kRestartFrames * cpu.speed * job.fit.median) workers.push_back({index, nullptr, 1.0});
        }
        if (workers.empty()) return std::nullopt;

        const double ppf = job.ppf;
        // Seconds from now of an instant on a session's clock.
        const auto fromNow = [now](const Session &s, uint64_t instant) {
            return static_cast<double>(static_cast<int64_t>(instant - now) + s.offset) * kSecondsPerTick;
        };
        std::vector<int64_t> inProgress;
        double inProgressCost = 0.0, inProgressPasses = 0.0;
        for (Worker &w : workers) {
            if (const auto c = job.cpus.find(w.cpu); c != job.cpus.end()) w.speed = c->second.speed;
            const Session *s = w.session;
            if (!s || s->frame < 0) continue;
            w.position = s->frame;
            const double k = std::min<double>(s->passes - s->framePasses0 + 1, ppf);
            const double fitted = job.fit.At(static_cast<double>(s->frame)) * w.speed;
            const double lastCount = fromNow(*s, s->lastCount), began = fromNow(*s, s->frameCount0);
            // A pass of this very frame tells best how long its others take.
            const double pass = k >= 2 ? static_cast<double>(s->lastCount - s->frameCount0) * kSecondsPerTick / (k - 1)
                                       : fitted / ppf;
            if (s->frameDone) {
                w.free = std::max(0.0, lastCount + pass);  // its last pass is under way
                continue;
            }
            inProgress.push_back(s->frame);
            const double rem = k >= 2 ? pass * (ppf - k + 1) + lastCount : std::max(began + fitted, -began * (ppf - 1));
            w.free = std::max(0.0, rem);
            w.lastCount = w.free * (ppf - k) / (ppf - k + 1);
            inProgressCost += job.fit.At(static_cast<double>(s->frame));
            inProgressPasses += ppf - k;
        }
        std::sort(inProgress.begin(), inProgress.end());

        // Gives a run of frames [from, to) to one worker.
        const auto give = [&](Worker &w, int64_t from, int64_t to) {
            if (to <= from) return;
            const double cost = SumCost(job, from, to) * w.speed;
            const double last = job.fit.At(static_cast<double>(to - 1)) * w.speed;
            w.lastCount = w.free + cost - last / ppf;
            w.free += cost;
        };
        using Slot = std::pair<double, size_t>;  // free instant, worker
        std::priority_queue<Slot, std::vector<Slot>, std::greater<Slot>> freeFirst;
        const auto fillQueue = [&] {
            freeFirst = {};
            for (size_t i = 0; i < workers.size(); ++i) freeFirst.push({workers[i].free, i});
        };

        // Contiguous shares when every session goes on with its next frame
        // and no CPU ran tasks in sessions of their own.
        bool tasks = false;
        for (const auto &[index, cpu] : job.cpus) tasks = tasks || cpu.sessions >= 2;
        const bool shares = !tasks && job.jumps * 4 <= job.steps;
        if (shares) {
            // Share boundaries: where each session started.
            std::vector<int64_t> starts;
            std::vector<std::pair<int64_t, bool>> positions;  // frame of each session, of a worker
            for (const auto &[key, s] : job.sessions) {
                if (s.startFrame >= 0) starts.push_back(s.startFrame);
                if (s.frame >= 0) positions.push_back({s.frame, false});
            }
            for (const Worker &w : workers)
                if (w.position >= 0) positions.push_back({w.position, true});
            std::sort(starts.begin(), starts.end());
            starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
            std::sort(positions.begin(), positions.end());
            // Each worker renders on to the next start or the next worker.
            const auto nextBoundary = [&](int64_t at) {
                int64_t end = job.frames;
                const auto s = std::upper_bound(starts.begin(), starts.end(), at);
                if (s != starts.end()) end = *s;
                const auto p = std::upper_bound(positions.begin(), positions.end(), std::make_pair(at, true));
                for (auto it = p; it != positions.end(); ++it)
                    if (it->second) {
                        end = std::min(end, it->first);
                        break;
                    }
                return end;
            };
            for (Worker &w : workers)
                if (w.position >= 0) give(w, w.position + 1, nextBoundary(w.position));
            // Shares no worker is in (a CPU died or left): from its frontier on,
            // whole, to the worker free first.
            std::vector<std::pair<int64_t, int64_t>> orphans;
            for (size_t k = 0; k <= starts.size(); ++k) {
                const int64_t lo = k == 0 ? 0 : starts[k - 1];
                const int64_t hi = k < starts.size() ? starts[k] : job.frames;
                if (hi <= lo) continue;
                const auto p0 = std::lower_bound(positions.begin(), positions.end(), std::make_pair(lo, false));
                bool worked = false;
                int64_t frontier = lo;
                for (auto it = p0; it != positions.end() && it->first < hi; ++it) {
                    worked = worked || it->second;
                    frontier = std::max(frontier, it->first);
                }
                if (worked) continue;
                for (size_t steps = 0; frontier < hi && job.ledger[static_cast<size_t>(frontier)].done && steps < kWalkLimit; ++steps)
                    ++frontier;
                if (frontier < hi) orphans.push_back({frontier, hi});
            }
            fillQueue();
            for (const auto &[from, to] : orphans) {
                const size_t i = freeFirst.top().second;
                freeFirst.pop();
                give(workers[i], from, to);
                freeFirst.push({workers[i].free, i});
            }
        } else {
            // Handed out one at a time: the pending frames, to whoever is free
            // first; the bulk as a fluid over the workers, the last ones one by one.
            double doneCost = 0.0;
            const size_t bins = job.binDone.size();
            for (size_t b = 0; b < bins; ++b) {
                const int64_t lo = (static_cast<int64_t>(b) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
                const int64_t hi = (static_cast<int64_t>(b + 1) * job.frames + static_cast<int64_t>(bins) - 1) / static_cast<int64_t>(bins);
                if (hi > lo) doneCost += job.binDone[b] * (job.binCost[b + 1] - job.binCost[b]) / static_cast<double>(hi - lo);
            }
            double pendingFrames = static_cast<double>(job.frames - job.doneFrames) - static_cast<double>(inProgress.size());
            // A renderer per task: each session renders one task of the
            // typical size, after its load; a worker first ends its own task.
            size_t task = 1;
            double load = 0.0;
            std::vector<std::pair<int64_t, int64_t>> reserved;  // [from, to) of the tasks under way
            if (tasks && job.taskCount > 0) {
                std::vector<double> v(job.taskFrames.begin(), job.taskFrames.begin() + job.taskCount);
                task = static_cast<size_t>(std::max(1.0, std::round(Median(v))));
                v.assign(job.taskLoad.begin(), job.taskLoad.begin() + job.loadCount);
                load = Median(v);
                for (Worker &w : workers) {
                    if (!w.session || w.position < 0 || w.session->frames >= task) continue;
                    const int64_t to = std::min<int64_t>(job.frames, w.position + 1 + static_cast<int64_t>(task - w.session->frames));
                    int64_t from = w.position + 1, free = 0;
                    for (int64_t f = from; f < to; ++f) free += !job.ledger[static_cast<size_t>(f)].done;
                    give(w, from, to);
                    reserved.push_back({from, to});
                    pendingFrames -= static_cast<double>(free);
                    inProgressCost += SumCost(job, from, to);
                    inProgressPasses += ppf * static_cast<double>(free);
                }
                std::sort(reserved.begin(), reserved.end());
            }
            const auto isReserved = [&reserved](int64_t f) {
                const auto r = std::upper_bound(reserved.begin(), reserved.end(), std::make_pair(f, std::numeric_limits<int64_t>::max()));
                return r != reserved.begin() && f < std::prev(r)->second;
            };
            if (pendingFrames > 0) {
                // Frames finished unseen (messages lost while the server was
                // away) show in the passes, not in the ledger.
                const double byPasses = std::max(0.0, static_cast<double>(remainingPasses) - inProgressPasses) / ppf;
                const double scale = std::min(1.0, byPasses / pendingFrames);
                double pendingCost = std::max(0.0, job.binCost.back() - doneCost - inProgressCost) * scale;
                std::vector<int64_t> tail;
                const size_t want = std::min<size_t>(static_cast<size_t>(pendingFrames * scale + 0.5), (2 * workers.size() + kTailExtra) * task);
                for (int64_t f = job.frames - 1, steps = 0; f >= 0 && tail.size() < want && steps < static_cast<int64_t>(4 * want + kWalkLimit); --f, ++steps)
                    if (!job.ledger[static_cast<size_t>(f)].done && !std::binary_search(inProgress.begin(), inProgress.end(), f) && !isReserved(f))
                        tail.push_back(f);
                double tailCost = 0.0;
                for (const int64_t f : tail) tailCost += job.fit.At(static_cast<double>(f));
                const double bulkFrames = std::max(0.0, pendingFrames * scale - static_cast<double>(tail.size()));
                double bulk = std::max(0.0, pendingCost - tailCost) + bulkFrames / static_cast<double>(task) * load;
                // Water level T: sum over workers of (T - free) / speed = bulk.
                if (bulk > 0.0) {
                    std::vector<Worker *> byFree;
                    for (Worker &w : workers) byFree.push_back(&w);
                    std::sort(byFree.begin(), byFree.end(), [](const Worker *a, const Worker *b) { return a->free < b->free; });
                    double rate = 0.0, level = byFree[0]->free;
                    size_t i = 0;
                    while (true) {
                        while (i < byFree.size() && byFree[i]->free <= level) rate += 1.0 / byFree[i++]->speed;
                        const double next = i < byFree.size() ? byFree[i]->free : std::numeric_limits<double>::infinity();
                        if (level + bulk / rate <= next) {
                            level += bulk / rate;
                            break;
                        }
                        bulk -= (next - level) * rate;
                        level = next;
                    }
                    for (Worker &w : workers)
                        if (w.free < level) w.lastCount = w.free = level;
                }
                fillQueue();
                std::reverse(tail.begin(), tail.end());
                for (size_t at = 0; at < tail.size(); at += task) {
                    const size_t i = freeFirst.top().second;
                    freeFirst.pop();
                    Worker &w = workers[i];
                    if (task > 1) w.free += load * w.speed;
                    for (size_t k = at; k < std::min(tail.size(), at + task); ++k) give(w, tail[k], tail[k] + 1);
                    freeFirst.push({w.free, i});
                }
            }
        }
        double end = 0.0;
        for (const Worker &w : workers) end = std::max(end, w.lastCount);
        return end;
        };
        const std::optional<double> seconds = schedule();
        if (!seconds) return out;
        FarmForecast done = finish(*seconds);
        job.scheduledEnd = done.time->completion;
        return done;
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
}
