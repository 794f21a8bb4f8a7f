// The run history of a front end: tracker, history thread and notifier wired together.
#include "run_history.h"

#include "clock.h"
#include "data_folder.h"

#include <new>

namespace {

// How long a start waits for the database before it runs on without it.
constexpr int kOpenWaitMs = 3000;
// How long a stop waits for the last runs to be stored.
constexpr int kCloseWaitMs = 5000;

}  // namespace

std::string HistoryPath(const TestPorts &testPorts) {
    if (!testPorts.history.empty()) return testPorts.history;
    // A test server that names no history file never touches the user's.
    if (testPorts.status) return std::string();
    return HistoryDatabasePath();
}

RunHistory::RunHistory(RunHistoryConfig config) {
    HistoryConfig h;
    h.path = std::move(config.path);
    h.log = std::move(config.log);
    h.now = NowFileTime;
    if (config.notify) {
        h.runEnded = [notify = std::move(config.notify)](const RunEntry &entry) { notify(HistoryEntryJson(entry)); };
    }
    std::vector<RunEntry> resume;
    int64_t nextRun = 1;
    history_ = History::Start(std::move(h), kOpenWaitMs, resume, nextRun);
    tracker_.Resume(std::move(resume), nextRun, NowFileTime());
}

RunHistory::~RunHistory() { Stop(); }

void RunHistory::Observe(const ReportData &data, const std::vector<RunJobInfo> &jobs,
                         std::span<const StatusRecord> departed) {
    if (stopped_) return;
    try {
        std::vector<DepartedCpu> gone;
        gone.reserve(departed.size());
        for (const StatusRecord &r : departed) gone.push_back({&r, JobInfoOf(r)});
        history_->Post(tracker_.Observe(data, jobs, gone));
    } catch (const std::bad_alloc &) {
        // Out of memory: these changes reach the disk with each run's next change.
    }
}

void RunHistory::Stop() {
    if (stopped_) return;
    stopped_ = true;
    try {
        history_->Post(tracker_.Flush());
    } catch (const std::bad_alloc &) {
    }
    history_->Close(kCloseWaitMs);
}
