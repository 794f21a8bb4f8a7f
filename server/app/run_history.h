// The front ends' run history: the run tracker fed by every refresh, its history thread and the run-end notifier, in one place for both programs.
#pragma once

#include "history.h"
#include "history_json.h"
#include "run_tracker.h"
#include "test_ports.h"

#include <functional>
#include <memory>
#include <span>
#include <string>

struct RunHistoryConfig {
    std::string path;         // the database; HistoryPath gives the usual one
    RunEndNotifier notify;    // optional: told of every run that ends, on the history thread
    std::function<void(const std::string &line)> log;  // operator messages (history off, file moved aside)
};

// The database path: the tests' override when set; empty (runs kept in
// memory only) for a server whose status port the tests moved without naming
// one; else the user's data folder's.
std::string HistoryPath(const TestPorts &testPorts);

class RunHistory {
public:
    // Opens the history (waiting at most a few seconds for its thread) and
    // takes up the runs it kept. Never fails: without a database the runs
    // live in memory only.
    explicit RunHistory(RunHistoryConfig config);
    ~RunHistory();
    RunHistory(const RunHistory &) = delete;
    RunHistory &operator=(const RunHistory &) = delete;

    // Core thread, after every refresh: follows the jobs (jobs: JobInfos of
    // data), with the last records of the CPUs that left since the last
    // refresh, and hands the runs that changed to the history thread.
    void Observe(const ReportData &data, const std::vector<RunJobInfo> &jobs, std::span<const StatusRecord> departed);
    // Core thread: stops following (a stop is not the CPUs leaving), stores
    // the latest sightings and closes the history.
    void Stop();
    const RunStats &Stats() const { return tracker_.Stats(); }
    History *Store() const { return history_.get(); }

private:
    RunTracker tracker_;
    std::unique_ptr<History> history_;
    bool stopped_ = false;
};
