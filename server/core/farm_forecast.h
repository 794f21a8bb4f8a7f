// The farm forecaster: when each job will finish, from a ledger of its frames, their costs by frame number, each CPU's speed and how the farm hands frames out.
#pragma once

#include "clock.h"
#include "run_tracker.h"
#include "status_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Frames a job's ledger holds at most. A job with a larger range keeps no
// ledger and is forecast from per-CPU rates alone: remaining passes over the
// sum of its working CPUs' recent pass rates, as the report does.
inline constexpr int64_t kMaxLedgerFrames = 100000;
// Ledger frames over all jobs together; a job past it also falls back to rates.
inline constexpr int64_t kLedgerBudgetFrames = 2000000;
// Sessions a job remembers; past it the least recently seen quarter is folded
// into a sum of passes (a folded session that returns counts again).
inline constexpr size_t kMaxForecastSessions = 4096;
// CPUs a job remembers the speed of; more CPUs work at the typical speed.
inline constexpr size_t kMaxForecastCpus = 16384;

// Past errors of forecasts, per progress point of kForecastPercents, as
// log(actual remaining / predicted remaining), oldest first. Plain numbers so
// the run history can keep them; the newest kCalibrationWindow per point
// count, so newer runs steer the range.
struct ForecastCalibration {
    static constexpr size_t kCalibrationWindow = 200;
    // Scored runs a point needs before its quantiles replace the fixed range.
    static constexpr size_t kCalibrationMinRuns = 20;
    // The fixed range until then: x0.5 to x2 of the remaining time.
    static constexpr double kFixedLow = 0.5, kFixedHigh = 2.0;

    std::array<std::vector<double>, kForecastPercents.size()> errors;

    // The point (index into kForecastPercents) a forecast at percent belongs
    // to: the highest point it has reached, the first below 10%.
    static size_t PointFor(double percent);
    // Adds one scored forecast at point; ignored unless both remainders are
    // positive and finite. Drops the oldest past the window.
    void Add(size_t point, double predictedRemaining, double actualRemaining);
    // Factors of the remaining time for the P10..P90 range at point, low <= 1 <= high.
    std::pair<double, double> Range(size_t point) const;
};

struct FarmForecastTime {
    uint64_t completion = 0;  // file time
    double remainingSeconds = 0.0;
    uint64_t low = 0, high = 0;  // the calibrated range: low <= completion <= high
};

struct FarmForecast {
    uint64_t passesDone = 0;  // over every session of the job, never going back
    uint32_t totalPasses = 0;
    std::optional<double> percent;
    std::optional<FarmForecastTime> time;  // empty while it cannot be known
};

// Follows every job's frames and forecasts its completion; core thread only,
// no I/O, no clock: every call is given its instant (file time).
//
// Cost: Observe is O(log n) in the job's sessions and CPUs (plus, once a
// minute of receipt time, a sweep of the jobs). Forecast is O(C) in the
// working CPUs given; at most once per kScheduleTicks of its instants (or
// when those CPUs change) it schedules again: O(C log C), plus a fit over at
// most kFitSamples frames redone only after new frames were finished, plus
// one pass over the job's sessions when frames go out in contiguous shares. Memory: per job at most
// kMaxLedgerFrames ledger frames of 12 bytes, kMaxForecastSessions sessions
// and kMaxForecastCpus CPUs; kMaxTrackedRuns jobs.
class FarmForecaster {
public:
    // Samples the cost fit works over: kFitBins bins of the frame range, the
    // newest kSamplesPerBin finished frames of each.
    static constexpr size_t kFitBins = 256;
    static constexpr size_t kSamplesPerBin = 4;
    static constexpr size_t kFitSamples = kFitBins * kSamplesPerBin;
    // How long a job's schedule holds while its working CPUs stay the same.
    static constexpr uint64_t kScheduleTicks = 2 * kTicksPerSecond;

    // A record state the server accepted (a message's record, or the last
    // record of a CPU whose connection closed) and when it was received.
    // Records that cannot be true (IsPlausibleRecord) are left out.
    void Observe(const StatusRecord &record, uint64_t receivedAt);
    // The job's forecast at now, with the CPUs (cpuIndex) of the job that are
    // working. Empty when the job is unknown, its passes per frame are not
    // learnt yet, or its range and passes make no sense (a step below 1, a
    // total that is not (last - first + 1) x passes per frame / step or that
    // wraps). Without a completion before the first frame is finished or
    // without a working CPU.
    std::optional<FarmForecast> Forecast(std::string_view identity, uint64_t now,
                                         std::span<const int32_t> workingCpus);

    // The past errors that set the forecasts' ranges; the caller keeps and adds to them.
    ForecastCalibration &Calibration() { return calibration_; }
    size_t TrackedJobs() const { return jobs_.size(); }
    // Ledger frames of the job (0 when it keeps none), for tests of the bounds.
    size_t LedgerFrames(std::string_view identity) const;

private:
    struct Sample {
        int32_t frame = 0;  // index into the range
        int32_t cpu = 0;
        float seconds = 0.0f;
    };
    struct LedgerFrame {
        float seconds = 0.0f;  // the time it took on its CPU; 0 while unknown
        int32_t cpu = -1;      // the CPU that finished it
        uint16_t session = 0;  // low bits of that session's number in the job
        uint8_t done = 0;
    };
    struct Session {
        int32_t cpu = 0;
        uint32_t number = 0;          // its order among the job's sessions
        uint32_t passes = 0;          // the most it reported
        uint64_t lastSeen = 0;        // receipt instant
        uint64_t lastCount = 0;       // the plug-in's instant of its latest pass (its own clock)
        int64_t offset = 0;           // receipt minus that instant: its clock to the server's
        int64_t startFrame = -1;      // index of the first frame it rendered
        int64_t frame = -1;           // index of the frame in progress, -1 for none
        uint32_t framePasses0 = 0;    // passesDone when that frame began
        uint64_t frameCount0 = 0;     // the plug-in's instant when it began
        uint32_t frames = 0;          // frames it began
        bool frameDone = false;       // all its passes counted
        bool frameSampled = false;    // its cost went into the fit
        int64_t recentPassTime = 0;
    };
    struct Cpu {
        std::array<Sample, 8> recent{};  // its newest finished frames
        uint8_t recentCount = 0, recentNext = 0;
        uint32_t sessions = 0;
        std::pair<int32_t, uint64_t> latest{-1, 0};  // its newest session's key
        uint64_t lastSeen = 0;
        double speed = 1.0;  // observed cost / fitted cost, from the latest fit
    };
    // The frame cost by frame index: a level, a line or a step, clamped.
    struct CostFit {
        enum Kind : uint8_t { Level, Line, Step } kind = Level;
        double level = 0.0, slope = 0.0, origin = 0.0;  // seconds, per frame, frame index
        double after = 0.0;                              // Step: the level from origin on
        double median = 0.0;
        double At(double frame) const;
    };
    struct Job {
        int32_t first = 0, last = 0, step = 0;
        int64_t frames = 0;  // in the range; 0 when the range makes no sense
        uint32_t ppf = 0;    // passes per frame, once a session has fixed it
        bool ppfConflict = false;
        uint32_t totalPasses = 0;
        uint64_t lastSeen = 0;
        uint64_t passes = 0;  // over its sessions, folded ones included
        // The latest schedule: redone after kScheduleTicks of the given
        // instants or when the working CPUs change; in between its completion holds.
        bool scheduled = false;
        uint64_t scheduledAt = 0, scheduledCpus = 0;
        std::optional<uint64_t> scheduledEnd;
        uint32_t nextSession = 0;
        uint64_t steps = 0, jumps = 0;  // a session's next frame the next one, or another
        // Renderer-per-task farms: frames of the sessions a CPU's next one
        // followed (the task size) and each session's start until its first pass.
        std::array<uint32_t, 16> taskFrames{};
        std::array<float, 16> taskLoad{};
        uint8_t taskCount = 0, taskNext = 0, loadCount = 0, loadNext = 0;
        std::map<std::pair<int32_t, uint64_t>, Session> sessions;
        std::map<int32_t, Cpu> cpus;
        std::vector<LedgerFrame> ledger;      // by frame index; empty without one
        std::vector<uint32_t> binDone;        // finished frames per fit bin
        std::vector<Sample> binSamples;       // kSamplesPerBin per bin, newest replacing oldest
        std::vector<uint8_t> binNext, binCount;
        int64_t doneFrames = 0;
        uint64_t samplesVersion = 0, fitVersion = ~0ULL;
        CostFit fit;
        std::vector<double> binCost;          // fitted seconds per bin, then their prefix sums
    };

    Job *FindJob(const StatusRecord &record, uint64_t receivedAt);
    void Sweep(uint64_t now);
    void TrackFrame(Job &job, Session &s, const StatusRecord &r, uint64_t count);
    void FinishFrame(Job &job, Session &s, uint64_t count, bool exact);
    void AddSample(Job &job, const Sample &sample);
    static void FoldSessions(Job &job);
    static void Fit(Job &job);
    static size_t BinOf(const Job &job, int64_t frame);
    static double SumCost(const Job &job, int64_t from, int64_t to);  // fitted seconds of frames [from, to)

    std::unordered_map<std::string, Job> jobs_;
    ForecastCalibration calibration_;
    int64_t ledgerFrames_ = 0;
    uint64_t lastSweep_ = 0;
};
