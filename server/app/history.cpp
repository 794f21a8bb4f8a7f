// The history thread: opening, migrating and moving aside the database, storing and pruning runs, publishing the newest.
#include "history.h"

#include "clock.h"
#include "data_folder.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace {

// The files SQLite keeps beside the database, named by their suffixes.
constexpr const char *kSideFiles[] = {"-wal", "-shm", "-journal"};

// One migration: the statements that take the schema from its index to the next version.
using Migration = const char *;
constexpr Migration kMigrations[] = {
    // v0 -> v1: runs, their forecasts.
    "CREATE TABLE runs("
    " run INTEGER PRIMARY KEY, job_id TEXT NOT NULL, identity BLOB NOT NULL,"
    " scene_name TEXT NOT NULL, scene_file TEXT NOT NULL,"
    " first_frame INTEGER NOT NULL, last_frame INTEGER NOT NULL, frame_step INTEGER NOT NULL,"
    " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, peak_cpus INTEGER NOT NULL,"
    " passes_done INTEGER NOT NULL, passes_beyond INTEGER NOT NULL, total_passes INTEGER NOT NULL,"
    " outcome TEXT NOT NULL, ended_at INTEGER, mean_abs_error REAL, sessions BLOB NOT NULL);"
    "CREATE INDEX runs_last_seen ON runs(last_seen);"
    "CREATE TABLE forecasts("
    " run INTEGER NOT NULL, percent INTEGER NOT NULL, at INTEGER NOT NULL,"
    " predicted INTEGER, error_ratio REAL, PRIMARY KEY(run, percent));",
};
static_assert(std::size(kMigrations) == kHistorySchemaVersion);

enum class Opened { Ok, Corrupt, Failed };

bool IsCorrupt(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

// Sessions as 16 little-endian bytes each: cpu, passes, start.
std::string PackSessions(const std::vector<RunSession> &sessions) {
    std::string out(sessions.size() * 16, '\0');
    for (size_t i = 0; i < sessions.size(); ++i) {
        uint8_t *p = reinterpret_cast<uint8_t *>(out.data()) + i * 16;
        const uint32_t cpu = static_cast<uint32_t>(sessions[i].cpu), passes = sessions[i].passes;
        const uint64_t start = sessions[i].start;
        for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>(cpu >> (8 * b));
        for (int b = 0; b < 4; ++b) p[4 + b] = static_cast<uint8_t>(passes >> (8 * b));
        for (int b = 0; b < 8; ++b) p[8 + b] = static_cast<uint8_t>(start >> (8 * b));
    }
    return out;
}

std::vector<RunSession> UnpackSessions(const void *data, int bytes) {
    std::vector<RunSession> out;
    if (!data || bytes <= 0) return out;
    const auto *p = static_cast<const uint8_t *>(data);
    for (int i = 0; i + 16 <= bytes && out.size() < kMaxRunSessions; i += 16) {
        uint32_t cpu = 0, passes = 0;
        uint64_t start = 0;
        for (int b = 0; b < 4; ++b) cpu |= static_cast<uint32_t>(p[i + b]) << (8 * b);
        for (int b = 0; b < 4; ++b) passes |= static_cast<uint32_t>(p[i + 4 + b]) << (8 * b);
        for (int b = 0; b < 8; ++b) start |= static_cast<uint64_t>(p[i + 8 + b]) << (8 * b);
        out.push_back({static_cast<int32_t>(cpu), start, passes});
    }
    return out;
}

class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    int rc() const { return rc_; }
    sqlite3_stmt *get() const { return stmt_; }
    void Int(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void Text(int i, const std::string &v) { sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void Blob(int i, const std::string &v) { sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void Real(int i, const std::optional<double> &v) { v ? sqlite3_bind_double(stmt_, i, *v) : sqlite3_bind_null(stmt_, i); }
    void Instant(int i, const std::optional<uint64_t> &v) {
        v ? sqlite3_bind_int64(stmt_, i, static_cast<int64_t>(*v)) : sqlite3_bind_null(stmt_, i);
    }
    // Steps once; SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int64_t ColInt(int i) const { return sqlite3_column_int64(stmt_, i); }
    std::string ColText(int i) const {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_blob(stmt_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))) : std::string();
    }
    bool IsNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }

private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

int Exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

constexpr const char *kRunColumns =
    "run, job_id, identity, scene_name, scene_file, first_frame, last_frame, frame_step, first_seen, last_seen,"
    " peak_cpus, passes_done, passes_beyond, total_passes, outcome, ended_at, mean_abs_error";

RunEntry ReadRun(const Statement &s) {
    RunEntry e;
    e.run = s.ColInt(0);
    e.jobId = s.ColText(1);
    e.identity = s.ColText(2);
    e.sceneName = s.ColText(3);
    e.sceneFile = s.ColText(4);
    e.firstFrame = static_cast<int32_t>(s.ColInt(5));
    e.lastFrame = static_cast<int32_t>(s.ColInt(6));
    e.frameStep = static_cast<int32_t>(s.ColInt(7));
    e.firstSeen = static_cast<uint64_t>(s.ColInt(8));
    e.lastSeen = static_cast<uint64_t>(s.ColInt(9));
    e.peakCpus = static_cast<uint32_t>(s.ColInt(10));
    e.passesDone = static_cast<uint64_t>(s.ColInt(11));
    e.passesBeyond = static_cast<uint64_t>(s.ColInt(12));
    e.totalPasses = static_cast<uint32_t>(s.ColInt(13));
    e.outcome = RunOutcomeFromName(s.ColText(14));
    if (!s.IsNull(15)) e.endedAt = static_cast<uint64_t>(s.ColInt(15));
    if (!s.IsNull(16)) e.meanAbsError = sqlite3_column_double(s.get(), 16);
    return e;
}

}  // namespace

struct History::State {
    HistoryConfig config;
    sqlite3 *db = nullptr;  // history thread only

    std::mutex mutex;
    std::condition_variable changed;
    std::map<int64_t, RunEntry> pending;  // by run: the newest state of each
    bool busy = false;
    bool quit = false;
    bool opened = false;  // the thread finished opening
    bool late = false;    // Start stopped waiting: the database is not written
    std::vector<RunEntry> resume;
    int64_t nextRun = 1;
    std::shared_ptr<const HistoryView> view = std::make_shared<HistoryView>();

    // History thread only.
    std::map<int64_t, RunEntry> recent;  // the newest kHistoryPublished, without sessions

    void Log(const std::string &line) const {
        if (config.log) config.log(line);
    }
    uint64_t Now() const { return config.now ? config.now() : 0; }

    // Callers may still hold prepared statements: close_v2 frees the connection once they are finalized.
    void Off(const std::string &why) {
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        Log("history off: " + why + "; runs are kept in memory only until the next start");
    }
    std::string Error() const { return db ? sqlite3_errmsg(db) : "out of memory"; }
    // Rolls back after a failure, keeping the failure's message for the line that says so
    // (the rollback's own message would replace it).
    std::string failure;
    void RollBack() {
        failure = Error();
        Exec(db, "ROLLBACK");
    }

    Opened Open();
    void OpenOrMoveAside();
    bool Load();
    bool Store(const std::vector<RunEntry> &entries);
    void Prune();
    void Publish();
    void Run();
};

Opened History::State::Open() {
    // The runs are the owner's alone; SQLite gives its -wal, -shm and -journal
    // files the database's own mode, so a private database keeps them private.
    KeepFilePrivate(config.path, true);
    for (const char *suffix : kSideFiles) KeepFilePrivate(config.path + suffix, false);
    if (sqlite3_open_v2(config.path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        return Opened::Failed;
    }
    sqlite3_busy_timeout(db, 2000);
    {
        Statement check(db, "PRAGMA quick_check");
        const int rc = check.rc() == SQLITE_OK ? check.Step() : check.rc();
        if (IsCorrupt(rc) || (rc == SQLITE_ROW && check.ColText(0) != "ok")) return Opened::Corrupt;
        if (rc != SQLITE_ROW) return Opened::Failed;
    }
    {
        Statement wal(db, "PRAGMA journal_mode=WAL");
        const int rc = wal.Step();
        if (IsCorrupt(rc)) return Opened::Corrupt;
        if (rc != SQLITE_ROW || wal.ColText(0) != "wal") return Opened::Failed;
    }
    if (Exec(db, "PRAGMA synchronous=NORMAL") != SQLITE_OK) return Opened::Failed;
    int version = 0;
    {
        Statement v(db, "PRAGMA user_version");
        const int rc = v.Step();
        if (IsCorrupt(rc)) return Opened::Corrupt;
        if (rc != SQLITE_ROW) return Opened::Failed;
        version = static_cast<int>(v.ColInt(0));
    }
    if (version > kHistorySchemaVersion || version < 0) {
        Off("the database " + config.path + " has schema " + std::to_string(version) + ", newer than this version's " +
            std::to_string(kHistorySchemaVersion));
        return Opened::Failed;
    }
    if (version < kHistorySchemaVersion) {
        if (Exec(db, "BEGIN IMMEDIATE") != SQLITE_OK) return Opened::Failed;
        for (int v = version; v < kHistorySchemaVersion; ++v) {
            const int rc = Exec(db, kMigrations[v]);
            if (rc != SQLITE_OK) {
                RollBack();
                return IsCorrupt(rc) ? Opened::Corrupt : Opened::Failed;
            }
        }
        const std::string set = "PRAGMA user_version=" + std::to_string(kHistorySchemaVersion);
        if (Exec(db, set.c_str()) != SQLITE_OK || Exec(db, "COMMIT") != SQLITE_OK) {
            RollBack();
            return Opened::Failed;
        }
    }
    return Opened::Ok;
}

void History::State::OpenOrMoveAside() {
    if (config.path.empty()) return;  // memory only, as asked
    if (!MakeParentFolders(config.path)) {
        Off("cannot make the folder of " + config.path);
        return;
    }
    Opened result = Open();
    if (result == Opened::Corrupt) {
        sqlite3_close_v2(db);
        db = nullptr;
        const std::string aside = config.path + ".corrupt-" + std::to_string(Now() / kTicksPerSecond - kUnixEpochSeconds);
        if (!MoveFileAside(config.path, aside)) {
            Off(config.path + " is damaged and cannot be moved aside");
            return;
        }
        for (const char *suffix : kSideFiles) {
            if (PathExists(config.path + suffix)) MoveFileAside(config.path + suffix, aside + suffix);
        }
        Log("history: " + config.path + " was damaged; moved it to " + aside + " and started a new one");
        result = Open();
    }
    if (result == Opened::Ok && !Load()) result = Opened::Failed;
    if (result != Opened::Ok && db) Off("cannot use " + config.path + ": " + (failure.empty() ? Error() : failure));
}

bool History::State::Load() {
    const uint64_t now = Now();
    {
        Statement next(db, "SELECT coalesce(max(run), 0) + 1 FROM runs");
        if (next.Step() != SQLITE_ROW) return false;
        nextRun = next.ColInt(0);
    }
    const std::string recentSql = std::string("SELECT ") + kRunColumns + " FROM runs ORDER BY run DESC LIMIT ?";
    Statement runs(db, recentSql.c_str());
    runs.Int(1, static_cast<int64_t>(kHistoryPublished));
    int rc;
    while ((rc = runs.Step()) == SQLITE_ROW) {
        RunEntry e = ReadRun(runs);
        recent.emplace(e.run, std::move(e));
    }
    if (rc != SQLITE_DONE) return false;
    // Runs to continue: still running, or seen within the continuation time.
    const int64_t since = static_cast<int64_t>(now > kRunContinueTicks ? now - kRunContinueTicks : 0);
    const std::string resumeSql = std::string("SELECT ") + kRunColumns +
                                  ", sessions FROM runs WHERE outcome = 'running' OR last_seen >= ? ORDER BY run";
    Statement open(db, resumeSql.c_str());
    open.Int(1, since);
    while ((rc = open.Step()) == SQLITE_ROW) {
        RunEntry e = ReadRun(open);
        e.sessions = UnpackSessions(sqlite3_column_blob(open.get(), 17), sqlite3_column_bytes(open.get(), 17));
        resume.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) return false;
    Statement forecasts(db, "SELECT run, percent, at, predicted, error_ratio FROM forecasts WHERE run >= ? ORDER BY run, percent");
    const int64_t oldest = recent.empty() ? nextRun : recent.begin()->first;
    const int64_t oldestResume = resume.empty() ? nextRun : resume.front().run;
    forecasts.Int(1, std::min(oldest, oldestResume));
    std::map<int64_t, RunEntry *> resumeByRun;
    for (RunEntry &e : resume) resumeByRun[e.run] = &e;
    while ((rc = forecasts.Step()) == SQLITE_ROW) {
        Forecast f;
        f.percent = static_cast<uint32_t>(forecasts.ColInt(1));
        f.at = static_cast<uint64_t>(forecasts.ColInt(2));
        if (!forecasts.IsNull(3)) f.predicted = static_cast<uint64_t>(forecasts.ColInt(3));
        if (!forecasts.IsNull(4)) f.errorRatio = sqlite3_column_double(forecasts.get(), 4);
        const int64_t run = forecasts.ColInt(0);
        if (auto it = recent.find(run); it != recent.end()) it->second.forecasts.push_back(f);
        if (auto it = resumeByRun.find(run); it != resumeByRun.end()) it->second->forecasts.push_back(f);
    }
    return rc == SQLITE_DONE;
}

bool History::State::Store(const std::vector<RunEntry> &entries) {
    if (Exec(db, "BEGIN IMMEDIATE") != SQLITE_OK) return false;
    const std::string insertSql = std::string("INSERT OR REPLACE INTO runs(") + kRunColumns +
                                  ", sessions) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    Statement run(db, insertSql.c_str());
    Statement clear(db, "DELETE FROM forecasts WHERE run = ?");
    Statement forecast(db, "INSERT INTO forecasts(run, percent, at, predicted, error_ratio) VALUES(?,?,?,?,?)");
    bool ok = run.rc() == SQLITE_OK && clear.rc() == SQLITE_OK && forecast.rc() == SQLITE_OK;
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        const RunEntry &e = entries[i];
        run.Int(1, e.run);
        run.Text(2, e.jobId);
        run.Blob(3, e.identity);
        run.Text(4, e.sceneName);
        run.Text(5, e.sceneFile);
        run.Int(6, e.firstFrame);
        run.Int(7, e.lastFrame);
        run.Int(8, e.frameStep);
        run.Int(9, static_cast<int64_t>(e.firstSeen));
        run.Int(10, static_cast<int64_t>(e.lastSeen));
        run.Int(11, e.peakCpus);
        run.Int(12, static_cast<int64_t>(e.passesDone));
        run.Int(13, static_cast<int64_t>(e.passesBeyond));
        run.Int(14, e.totalPasses);
        run.Text(15, RunOutcomeName(e.outcome));
        run.Instant(16, e.endedAt);
        run.Real(17, e.meanAbsError);
        run.Blob(18, PackSessions(e.sessions));
        ok = run.Step() == SQLITE_DONE;
        run.Reset();
        clear.Int(1, e.run);
        ok = ok && clear.Step() == SQLITE_DONE;
        clear.Reset();
        for (const Forecast &f : e.forecasts) {
            if (!ok) break;
            forecast.Int(1, e.run);
            forecast.Int(2, f.percent);
            forecast.Int(3, static_cast<int64_t>(f.at));
            forecast.Instant(4, f.predicted);
            forecast.Real(5, f.errorRatio);
            ok = forecast.Step() == SQLITE_DONE;
            forecast.Reset();
        }
    }
    if (ok && Exec(db, "COMMIT") == SQLITE_OK) return true;
    const std::string why = Error();
    Exec(db, "ROLLBACK");
    Off("cannot write " + config.path + ": " + why);
    return false;
}

void History::State::Prune() {
    const uint64_t now = Now();
    const int64_t before = static_cast<int64_t>(now > kHistoryMaxAgeTicks ? now - kHistoryMaxAgeTicks : 0);
    Statement old(db, "DELETE FROM runs WHERE last_seen < ? AND outcome <> 'running'");
    old.Int(1, before);
    Statement extra(db, "DELETE FROM runs WHERE run <= (SELECT run FROM runs ORDER BY run DESC LIMIT 1 OFFSET ?)");
    extra.Int(1, static_cast<int64_t>(kHistoryMaxRuns));
    const bool ok = Exec(db, "BEGIN IMMEDIATE") == SQLITE_OK && old.Step() == SQLITE_DONE &&
                    extra.Step() == SQLITE_DONE &&
                    Exec(db, "DELETE FROM forecasts WHERE run NOT IN (SELECT run FROM runs)") == SQLITE_OK &&
                    Exec(db, "COMMIT") == SQLITE_OK;
    if (!ok) {
        const std::string why = Error();
        Exec(db, "ROLLBACK");
        Off("cannot prune " + config.path + ": " + why);
        return;
    }
    for (auto it = recent.begin(); it != recent.end();) {
        const bool gone = static_cast<int64_t>(it->second.lastSeen) < before && it->second.outcome != RunOutcome::Running;
        it = gone ? recent.erase(it) : std::next(it);
    }
}

void History::State::Publish() {
    auto view = std::make_shared<HistoryView>();
    view->runs.reserve(recent.size());
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) view->runs.push_back(it->second);
    view->stored = db != nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    this->view = std::move(view);
}

void History::State::Run() {
    OpenOrMoveAside();
    if (db) Prune();
    Publish();
    bool tooLate = false;
    {
        // Start either took the results or stopped waiting: decided under the same lock.
        std::lock_guard<std::mutex> lock(mutex);
        tooLate = late;
        opened = true;
    }
    if (tooLate) {
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        recent.clear();
        Publish();
        Log("history off: the database did not open in time; runs are kept in memory only");
    }
    changed.notify_all();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return !pending.empty() || quit; });
        if (pending.empty()) break;
        std::vector<RunEntry> batch;
        batch.reserve(pending.size());
        for (auto &[run, entry] : pending) batch.push_back(std::move(entry));
        pending.clear();
        busy = true;
        lock.unlock();
        try {
            if (db) Store(batch);
            if (db) Prune();
            for (RunEntry &e : batch) {
                // Told once per end: an ended run is stored again as its CPUs keep reporting.
                const auto was = recent.find(e.run);
                const bool newlyEnded = e.outcome != RunOutcome::Running &&
                                        (was == recent.end() || was->second.outcome != e.outcome);
                if (newlyEnded && config.runEnded) config.runEnded(e);
                e.sessions.clear();
                e.sessions.shrink_to_fit();
                recent[e.run] = std::move(e);
            }
            while (recent.size() > kHistoryPublished) recent.erase(recent.begin());
            Publish();
        } catch (...) {
            // Out of memory: this batch is lost to the disk; the next one tries again.
        }
        lock.lock();
        busy = false;
        changed.notify_all();
    }
    lock.unlock();
    if (db) sqlite3_close_v2(db);
    db = nullptr;
}

std::unique_ptr<History> History::Start(HistoryConfig config, int waitMs, std::vector<RunEntry> &resume,
                                        int64_t &nextRun) {
    std::unique_ptr<History> h(new History());
    h->state_ = std::make_shared<State>();
    h->state_->config = std::move(config);
    State &s = *h->state_;
    if (!h->worker_.Start(h->state_, [](State &state) { state.Run(); })) {
        s.Log("history off: no thread for it");
        std::lock_guard<std::mutex> lock(s.mutex);
        s.opened = true;
        s.quit = true;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return s.opened; })) {
        s.late = true;
        return h;
    }
    resume = std::move(s.resume);
    nextRun = s.nextRun;
    return h;
}

History::~History() { Close(-1); }

void History::Post(std::vector<RunEntry> entries) {
    if (entries.empty()) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        for (RunEntry &e : entries) state_->pending[e.run] = std::move(e);
    }
    state_->changed.notify_all();
}

std::shared_ptr<const HistoryView> History::View() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->view;
}

bool History::Drain(int timeoutMs) {
    State &s = *state_;
    return worker_.WaitUntil([&] { return s.opened && s.pending.empty() && !s.busy; }, timeoutMs);
}

void History::Close(int timeoutMs) {
    if (!state_) return;
    const bool drained = Drain(timeoutMs);
    worker_.RequestQuit();
    worker_.Finish(drained);  // not drained: a hung disk, the thread ends by itself
}
