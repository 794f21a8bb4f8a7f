// Test helpers for the dashboard: the golden report scenarios as client tables, a fixed date-time writer, snapshot building.
#pragma once

#include "format.h"
#include "report_fixture.h"
#include "report.h"
#include "settings.h"
#include "snapshot.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <filesystem>
#include <stdlib.h>
#endif

namespace webtest {

using namespace reporttest;
constexpr int64_t kNowUnix = 1796706439;

// Progress of one CPU, as the golden report tests set it: passes done of
// total, recent and last pass in seconds, started `started` seconds before
// now, its last pass ending `ago` seconds before now.
inline void Progress(StatusRecord &r, uint32_t done, uint32_t total, int64_t recentSeconds, int64_t lastSeconds,
                     int64_t started, int64_t ago) {
    r.passesDone = done;
    r.totalPasses = total;
    r.passesPerFrame = 4;
    r.passesPerFrameFixed = 1;
    r.recentPassTime = recentSeconds * kTickSecond;
    r.lastPassTime = lastSeconds * kTickSecond;
    r.startTime = kNow - static_cast<uint64_t>(started) * kSecond;
    r.elapsedTime = (started - ago) * kTickSecond;
    r.passStartTime = r.startTime + static_cast<uint64_t>(r.elapsedTime - r.lastPassTime);
    r.firstRenderedFrame = 1;
    r.currentFrame = static_cast<int32_t>(done / 4 + 1);
}

// The golden one-job scenario: 30 and 10 of 100 passes, 60 s and 30 s per
// pass; with secondSize 1001 the CPUs differ in file size: two jobs.
inline void OneJobTwoCpus(TestTable &t, uint64_t secondSize = 1000) {
    Progress(t.AddCpu(0), 30, 100, 60, 58, 1800, 10);
    Progress(t.AddCpu(1, secondSize), 10, 100, 30, 29, 600, 5);
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::string Golden(const char *name) { return ReadFile(std::string(PELLICK_GOLDEN_DIR) + "/" + name); }

#ifdef _WIN32
// HKEY_CURRENT_USER of this process mapped onto a scratch key, so the settings
// store runs on a real registry without touching the prefix's own settings.
class StoreSandbox {
public:
    StoreSandbox() {
        static int serial = 0;
        scratch_ = "Software\\PellickTests\\web-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(++serial);
        RegCreateKeyExA(HKEY_CURRENT_USER, scratch_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_, nullptr);
        RegOverridePredefKey(HKEY_CURRENT_USER, root_);
    }
    ~StoreSandbox() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PellickTests");
    }
    StoreSandbox(const StoreSandbox &) = delete;
    StoreSandbox &operator=(const StoreSandbox &) = delete;

private:
    std::string scratch_;
    HKEY root_ = nullptr;
};

inline void SetEnv(const char *name, const char *value) { _putenv_s(name, value ? value : ""); }
#else
// XDG_CONFIG_HOME pointed at a fresh folder for the settings file.
class StoreSandbox {
public:
    StoreSandbox() {
        const char *old = getenv("XDG_CONFIG_HOME");
        hadOld_ = old != nullptr;
        if (old) saved_ = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "pellick-web-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    ~StoreSandbox() {
        if (hadOld_) {
            setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    StoreSandbox(const StoreSandbox &) = delete;
    StoreSandbox &operator=(const StoreSandbox &) = delete;

private:
    std::string dir_, saved_;
    bool hadOld_ = false;
};

// nullptr unsets the variable.
inline void SetEnv(const char *name, const char *value) {
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}
#endif

// The snapshot a refresh at instant now would publish for the table.
inline WebSnapshot Snapshot(TestTable &t, JobHistory &history, uint64_t now = kNow,
                            const ServerSettings &settings = ServerSettings()) {
    StatusReport report;
    BuildReport(t.Get(), now, settings.Form(), report);
    WebSnapshot s;
    BuildSnapshot(t.Get(), report, settings, history, s);
    return s;
}

// The scenarios whose /status.json is kept byte for byte in golden/*.json,
// each built with a fresh history in the default form.
inline std::vector<std::pair<std::string, WebSnapshot>> JsonScenarios() {
    std::vector<std::pair<std::string, WebSnapshot>> out;
    const auto add = [&](const char *name, TestTable &t) {
        JobHistory history;
        out.emplace_back(name, Snapshot(t, history));
    };
    TestTable oneJob, twoJobs, empty, waiting, startup, texts;
    OneJobTwoCpus(oneJob);
    add("one_job", oneJob);
    OneJobTwoCpus(twoJobs, 1001);
    twoJobs.table.messagesAccepted = 12;
    twoJobs.table.messagesRejected = 3;
    add("two_jobs", twoJobs);
    add("empty", empty);
    waiting.Add();
    waiting.Add().cpuIndex = 7;
    add("no_data", waiting);
    StatusRecord &r = startup.AddCpu(0);  // just started: no totals, no pass time
    r.startTime = kNow - 2 * kSecond;
    r.passStartTime = r.startTime;
    r.currentFrame = 1;
    add("startup", startup);
    OneJobTwoCpus(texts, 1001);
    std::strcpy(texts.entries[0].record.sceneName, "<script>alert(\"x\")</script> & \\ \n\t\x01\x7f");
    std::memcpy(texts.entries[1].record.sceneName, "Caf\xE9 \x80\x81\0", 8);
    std::memset(texts.entries[1].record.sceneFile, 'A', kTextSize);  // no terminator
    add("wire_texts", texts);
    out.back().second.settings.htmlError = "cannot write /www/<b>&\"x\".htm: the folder does not exist";  // shown as text
    return out;
}

}  // namespace webtest
