// The run history: a SQLite file written by a thread of its own, and the recent runs it publishes for the dashboard.
#pragma once

#include "history_json.h"
#include "run_tracker.h"
#include "worker_thread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What is kept: at most this many runs, none last seen longer ago than this.
inline constexpr size_t kHistoryMaxRuns = 10000;
inline constexpr uint64_t kHistoryMaxAgeTicks = 90ULL * 24 * 3600 * 10000000ULL;
// The newest runs kept in memory for /history.json.
inline constexpr size_t kHistoryPublished = 1000;
// The schema this build writes (PRAGMA user_version).
inline constexpr int kHistorySchemaVersion = 1;

struct HistoryConfig {
    std::string path;  // the database file, UTF-8; empty: runs kept in memory only, silently
    // A run ended (complete or interrupted) and is stored: called on the
    // history thread with the entry as stored.
    std::function<void(const RunEntry &entry)> runEnded;
    // A line for the operator (history off, a file moved aside), without the
    // program's prefix; called on the history thread or in Start.
    std::function<void(const std::string &line)> log;
    // The wall clock, file time (tests script it).
    std::function<uint64_t()> now;
};

class History {
public:
    // Starts the thread, which opens (or makes, or moves aside and makes
    // again) the database, and waits at most waitMs for it: resume then
    // holds the runs to continue and nextRun the first free run number. A
    // database that is not open by then is not written this time. Never
    // fails: without a database the runs are kept in memory only.
    static std::unique_ptr<History> Start(HistoryConfig config, int waitMs, std::vector<RunEntry> &resume,
                                          int64_t &nextRun);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    // Core thread: hands runs over to be stored, never waiting on the disk.
    // Waiting entries of the same run are replaced by the newer one, so at
    // most one per run waits and nothing is dropped.
    void Post(std::vector<RunEntry> entries);
    // Any thread: the newest published view.
    std::shared_ptr<const HistoryView> View() const;
    // Waits until everything posted is stored (tests, the stop); at most timeoutMs. true when it is.
    bool Drain(int timeoutMs);
    // Stores what waits, then ends the thread (at most timeoutMs, then the thread is left to finish).
    void Close(int timeoutMs);

    struct State;

private:
    History() = default;
    std::shared_ptr<State> state_;
    WorkerThread<State> worker_;
};
