// Tests of the history's SQLite file: runs survive a restart whole, damaged files are moved aside, unusable folders turn it off, old runs are pruned.
#include "history.h"

#include "clock.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSecond = 10000000;
constexpr uint64_t kNow = 134411800390000000ULL;

struct TempFolder {
    fs::path path;
    TempFolder() {
        path = fs::temp_directory_path() /
               ("pellick-history-" + std::to_string(static_cast<unsigned long long>(MonotonicNanos())));
        fs::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

struct Opened {
    std::unique_ptr<History> history;
    std::vector<RunEntry> resume;
    int64_t nextRun = 0;
    std::vector<std::string> lines;
    std::vector<int64_t> ended;
};

std::unique_ptr<Opened> Open(const std::string &path, uint64_t now = kNow) {
    auto o = std::make_unique<Opened>();
    HistoryConfig config;
    config.path = path;
    config.now = [now] { return now; };
    Opened *raw = o.get();
    config.log = [raw](const std::string &line) { raw->lines.push_back(line); };
    config.runEnded = [raw](const RunEntry &e) { raw->ended.push_back(e.run); };
    o->history = History::Start(std::move(config), 10000, o->resume, o->nextRun);
    return o;
}

RunEntry MakeRun(int64_t id, RunOutcome outcome, uint64_t lastSeen) {
    RunEntry e;
    e.run = id;
    e.jobId = "00000000000000" + std::to_string(10 + id % 90);
    e.identity = std::string("job\0", 4) + std::to_string(id);
    e.sceneName = "Castle <b>";
    e.sceneFile = "C:\\scenes\\castle.lws";
    e.firstFrame = 1, e.lastFrame = 25, e.frameStep = 1;
    e.firstSeen = lastSeen - 100 * kSecond;
    e.lastSeen = lastSeen;
    e.peakCpus = 3;
    e.passesDone = 25;
    e.totalPasses = 50;
    e.outcome = outcome;
    if (outcome != RunOutcome::Running) e.endedAt = lastSeen;
    e.forecasts = {{10, lastSeen - 90 * kSecond, lastSeen, 0.25}, {25, lastSeen - 80 * kSecond, std::nullopt, std::nullopt}};
    e.meanAbsError = 0.25;
    e.sessions = {{0, kNow - 1000 * kSecond, 12}, {1, kNow - 999 * kSecond, 13}};
    return e;
}

std::string IntegrityCheck(const std::string &path) {
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
            result = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

TEST(History, RunsSurviveARestartWhole) {
    TempFolder dir;
    const std::string path = (dir.path / "deep" / "er" / "history.sqlite3").string();
    {
        auto o = Open(path);
        EXPECT_TRUE(o->lines.empty()) << o->lines.front();
        EXPECT_EQ(o->nextRun, 1);
        o->history->Post({MakeRun(1, RunOutcome::Complete, kNow - 3600 * kSecond), MakeRun(2, RunOutcome::Running, kNow)});
        RunEntry newer = MakeRun(2, RunOutcome::Running, kNow);
        newer.passesDone = 40;  // replaces the waiting one
        o->history->Post({newer, MakeRun(3, RunOutcome::Interrupted, kNow - 60 * kSecond)});
        ASSERT_TRUE(o->history->Drain(10000));
        const auto view = o->history->View();
        ASSERT_EQ(view->runs.size(), 3u);
        EXPECT_TRUE(view->stored);
        EXPECT_EQ(view->runs[0].run, 3) << "newest first";
        EXPECT_TRUE(view->runs[0].sessions.empty()) << "the published copy holds no sessions";
        EXPECT_EQ(o->ended, (std::vector<int64_t>{1, 3}));
        o->history->Close(-1);
    }
    EXPECT_EQ(IntegrityCheck(path), "ok");
    auto o = Open(path);
    EXPECT_EQ(o->nextRun, 4);
    // Running, and interrupted within the continuation time, are taken up again; the one an hour old is not.
    ASSERT_EQ(o->resume.size(), 2u);
    const RunEntry &r = o->resume[0];
    const RunEntry want = MakeRun(2, RunOutcome::Running, kNow);
    EXPECT_EQ(r.run, 2);
    EXPECT_EQ(r.passesDone, 40u);
    EXPECT_EQ(r.identity, want.identity);
    EXPECT_EQ(r.sceneName, want.sceneName);
    EXPECT_EQ(r.firstSeen, want.firstSeen);
    EXPECT_FALSE(r.endedAt.has_value());
    ASSERT_EQ(r.sessions.size(), 2u);
    EXPECT_EQ(r.sessions[1].cpu, 1);
    EXPECT_EQ(r.sessions[1].start, want.sessions[1].start);
    EXPECT_EQ(r.sessions[1].passes, 13u);
    ASSERT_EQ(r.forecasts.size(), 2u);
    EXPECT_EQ(*r.forecasts[0].errorRatio, 0.25);
    EXPECT_EQ(*r.forecasts[0].predicted, kNow);
    EXPECT_FALSE(r.forecasts[1].predicted.has_value());
    EXPECT_EQ(o->resume[1].run, 3);
    EXPECT_EQ(*o->resume[1].endedAt, kNow - 60 * kSecond);
    EXPECT_EQ(o->history->View()->runs.size(), 3u);
}

#ifndef _WIN32
mode_t ModeOf(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// The runs are the user's alone whatever the umask: the database and the
// files SQLite keeps beside it are 0600 in 0700 folders, and files an older
// version left readable are tightened at the start.
TEST(History, TheFilesAreTheUsersAloneWhateverTheUmask) {
    TempFolder dir;
    const std::string path = (dir.path / "new" / "history.sqlite3").string();
    const mode_t saved = umask(0);
    auto o = Open(path);
    o->history->Post({MakeRun(1, RunOutcome::Running, kNow)});
    const bool drained = o->history->Drain(10000);
    umask(saved);
    ASSERT_TRUE(drained);
    EXPECT_TRUE(o->lines.empty()) << o->lines.front();
    EXPECT_EQ(ModeOf((dir.path / "new").string()), 0700u);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(ModeOf(path + suffix), 0600u) << "history.sqlite3" << suffix << " while open: 0" << std::oct
                                                << ModeOf(path + suffix);
    }
    o->history->Close(-1);

    // An older version's files, open to all; a -journal a crash left behind.
    std::ofstream(path + "-journal").close();
    for (const char *suffix : {"", "-journal"}) ASSERT_EQ(chmod((path + suffix).c_str(), 0644), 0);
    auto again = Open(path);
    ASSERT_TRUE(again->history->Drain(10000));
    EXPECT_EQ(ModeOf(path), 0600u);
    if (fs::exists(path + "-journal")) {
        EXPECT_EQ(ModeOf(path + "-journal"), 0600u);  // unless SQLite found it cold and removed it
    }
    again->history->Close(-1);
}
#endif

// What is at the path decides: a damaged file is moved aside for a new one; a file where the
// folder should be, or a schema from a later version, turns the history off and leaves it alone.
TEST(History, UnusableFiles) {
    struct Case {
        const char *what;
        const char *content;  // written to the database path; nullptr: a file where its folder should be
        int userVersion;      // set on a fresh database instead, when content is ""
        bool stored;
        const char *line;     // what the operator is told
    };
    const Case cases[] = {
        {"damaged", "this is not a database at all, just some bytes that fill a page......", 0, true, "moved it to"},
        {"folder is a file", nullptr, 0, false, "history off: cannot make the folder"},
        {"newer schema", "", 7, false, "history off: the database"},
    };
    for (const Case &c : cases) {
        TempFolder dir;
        std::string path = (dir.path / "history.sqlite3").string();
        if (!c.content) {
            std::ofstream(dir.path / "Pellick") << "x";
            path = (dir.path / "Pellick" / "history.sqlite3").string();
        } else if (*c.content) {
            std::ofstream(path, std::ios::binary) << std::string(4096, 'x').replace(0, 60, c.content);
        } else {
            sqlite3 *db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            const std::string set = "PRAGMA user_version=" + std::to_string(c.userVersion);
            sqlite3_exec(db, set.c_str(), nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        auto o = Open(path);
        ASSERT_FALSE(o->lines.empty()) << c.what;
        EXPECT_NE(o->lines[0].find(c.line), std::string::npos) << c.what << ": " << o->lines[0];
        // Runs go on in memory either way.
        o->history->Post({MakeRun(1, RunOutcome::Complete, kNow)});
        ASSERT_TRUE(o->history->Drain(10000));
        EXPECT_EQ(o->history->View()->runs.size(), 1u) << c.what;
        EXPECT_EQ(o->history->View()->stored, c.stored) << c.what;
        EXPECT_EQ(o->ended.size(), 1u) << c.what;
        o->history->Close(-1);
        if (c.stored) {
            EXPECT_EQ(IntegrityCheck(path), "ok") << c.what;
            const std::string aside = path + ".corrupt-" + std::to_string(kNow / kSecond - kUnixEpochSeconds);
            EXPECT_TRUE(fs::exists(aside)) << c.what << ": " << aside;
        }
        if (c.userVersion) {
            EXPECT_EQ(IntegrityCheck(path), "ok");
        }
    }
}

TEST(History, PrunesByCountAndAge) {
    TempFolder dir;
    const std::string path = (dir.path / "history.sqlite3").string();
    {
        auto o = Open(path);
        std::vector<RunEntry> runs;
        const uint64_t old = kNow - kHistoryMaxAgeTicks - kSecond;
        runs.push_back(MakeRun(1, RunOutcome::Complete, old));   // too old
        runs.push_back(MakeRun(2, RunOutcome::Running, old));    // too old, but never ended: kept
        for (int64_t id = 3; id <= static_cast<int64_t>(kHistoryMaxRuns) + 5; ++id) {
            runs.push_back(MakeRun(id, RunOutcome::Complete, kNow - 10000 * kSecond));
            runs.back().sessions.clear();
        }
        o->history->Post(std::move(runs));
        ASSERT_TRUE(o->history->Drain(60000));
        o->history->Close(-1);
    }
    auto o = Open(path, kNow + 3600 * kSecond);  // a minute past the last prune
    o->history->Post({MakeRun(kHistoryMaxRuns + 6, RunOutcome::Complete, kNow)});
    ASSERT_TRUE(o->history->Drain(60000));
    o->history->Close(-1);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*), min(run), (SELECT count(*) FROM forecasts WHERE run NOT IN (SELECT run FROM runs)) FROM runs", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(s, 0), static_cast<int64_t>(kHistoryMaxRuns));
    EXPECT_EQ(sqlite3_column_int64(s, 1), 7) << "the oldest runs went first";
    EXPECT_EQ(sqlite3_column_int64(s, 2), 0) << "no forecast outlives its run";
    sqlite3_finalize(s);
    sqlite3_close(db);
}

}  // namespace
