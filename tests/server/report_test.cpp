// Tests of the status report: golden HTML fragments, window fields, degenerate figures and the atomic file.
#include "report.h"

#include "clock.h"
#include "format.h"
#include "report_fixture.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace reporttest;

// Progress of one CPU: passes done of total, recent and last pass times in
// seconds, started `started` seconds before now and last pass ending `ago` seconds before now.
void Progress(StatusRecord &r, uint32_t done, uint32_t total, int64_t recentSeconds, int64_t lastSeconds,
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

// The one-job, two-CPU example: 30 and 10 of 100 passes, 60 s and 30 s per pass.
void OneJobTwoCpus(TestTable &t, uint64_t secondSize = 1000) {
    Progress(t.AddCpu(0), 30, 100, 60, 58, 1800, 10);
    Progress(t.AddCpu(1, secondSize), 10, 100, 30, 29, 600, 5);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Compares with tests/server/golden/<name>; PELLICK_UPDATE_GOLDEN=1 rewrites the file instead.
void ExpectGolden(const char *name, const std::string &html) {
    const std::string path = std::string(PELLICK_GOLDEN_DIR) + "/" + name;
    if (std::getenv("PELLICK_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << html;
        return;
    }
    const std::string expected = ReadFile(path);
    ASSERT_FALSE(expected.empty()) << "missing golden file " << path;
    if (html == expected) return;
    size_t at = 0;
    while (at < html.size() && at < expected.size() && html[at] == expected[at]) ++at;
    const size_t from = at > 60 ? at - 60 : 0;
    ADD_FAILURE() << name << " differs at byte " << at << "\n  expected: ..." << expected.substr(from, 160)
                  << "\n  actual:   ..." << html.substr(from, 160);
}

void ExpectFields(const StatusFields &fields, const std::vector<std::string> &expected) {
    for (int i = 0; i < kFieldCount; ++i) {
        EXPECT_EQ(fields.text[i], expected[static_cast<size_t>(i)]) << "field " << kFieldFirstId + i;
    }
}

class Report : public ::testing::Test {
protected:
    WriterGuard writer{FixedDateTime};
    DisplayForm form{3, 4};
    ServerSettings settings;  // form 3, 4 and HTML output off

    void Build(TestTable &t) { BuildReport(t.Get(), kNow, form, report); }
    StatusReport report;
    StatusFields &fields = report.fields;
    std::string &html = report.html;
};

TEST_F(Report, EmptyTable) {
    TestTable t;
    Build(t);
    ExpectGolden("empty.html", html);
    ExpectFields(fields, {"0", "0", "0", "", "", "", "", "", ""});
}

TEST_F(Report, ConnectedClientsWithoutData) {
    TestTable t;
    t.Add();
    t.Add().cpuIndex = 7;  // what a record holds before its first message is not shown
    Build(t);
    ExpectGolden("no_data.html", html);
    ExpectFields(fields, {"0", "0", "0", "", "", "", "", "", ""});
}

TEST_F(Report, OneJobTwoCpus) {
    TestTable t;
    OneJobTwoCpus(t);
    Build(t);
    ExpectGolden("one_job.html", html);
    EXPECT_NE(html.find("<tr><td>Recent Throughput</td><td>20.0000</td></tr>"), std::string::npos);
    EXPECT_NE(html.find("<tr><td>Estimated Remaining Time</td><td>20:00.0000</td></tr>"), std::string::npos);
    EXPECT_NE(html.find("<td>40.000000%</td>"), std::string::npos);
    EXPECT_EQ(html.find("Overall Stats"), std::string::npos);
    ExpectFields(fields, {"2", "40", "100", "40.000000%", "12/8/2026 4:37:19 AM", "30:00.0000", "20.0000",
                          "20:00.0000", "12/8/2026 5:27:19 AM"});
}

TEST_F(Report, TwoJobsDifferingOnlyInFileSize) {
    TestTable t;
    OneJobTwoCpus(t, 1001);
    Build(t);
    ExpectGolden("two_jobs.html", html);
    EXPECT_NE(html.find("Job 1 Stats"), std::string::npos);
    EXPECT_NE(html.find("Job 2 Stats"), std::string::npos);
    EXPECT_NE(html.find("Overall Stats"), std::string::npos);
    // The window shows the overall completion, not the last job's.
    ExpectFields(fields, {"2", "40", "200", "20.000000%", "12/8/2026 4:37:19 AM", "30:00.0000", "20.0000",
                          "53:20.0000", "12/8/2026 6:00:39 AM"});
}

// Right after a plug-in starts: no totals, no pass times yet.
TEST_F(Report, StartUpRecordWithZeroTotals) {
    TestTable t;
    StatusRecord &r = t.AddCpu(0);
    r.startTime = kNow - 2 * kSecond;
    r.passStartTime = r.startTime;
    r.currentFrame = 1;
    Build(t);
    ExpectGolden("startup.html", html);
    ExpectFields(fields, {"1", "0", "0", "-", "12/8/2026 5:07:17 AM", "2.0000", "-", "-", "-"});
}

TEST_F(Report, FiguresFollowMaxScaleAndResolution) {
    TestTable t;
    OneJobTwoCpus(t);
    form = {2, 1};
    Build(t);
    EXPECT_NE(html.find("<tr><td>Elapsed Time</td><td>30:00.0</td></tr>"), std::string::npos);
    EXPECT_NE(html.find("<tr><td>Recent Throughput (frame/hour)</td><td>45.0</td></tr>"), std::string::npos);
    EXPECT_STREQ(fields.text[7], "20:00.0");
}

TEST_F(Report, CpusThatCannotBeTimedAddNothingToThroughput) {
    TestTable t;
    OneJobTwoCpus(t);
    StatusRecord &fresh = t.AddCpu(2);  // just started: zero pass time
    fresh.startTime = kNow - kSecond;
    StatusRecord &odd = t.AddCpu(3);  // a negative pass time from a confused clock
    Progress(odd, 5, 100, -30, 1, 300, 1);
    ReportData data;
    ComputeReport(t.Get(), kNow, data);
    ASSERT_EQ(data.jobs.size(), 1u);
    const JobStats &job = data.jobs[0];
    EXPECT_EQ(job.cpuCount, 4u);
    EXPECT_EQ(job.timedCpus, 2u);
    EXPECT_EQ(job.passesDone, 45u);
    EXPECT_EQ(job.estimates.timePerPass, 20 * kTickSecond);
    EXPECT_EQ(job.estimates.remaining, 55 * 20 * kTickSecond);
    ASSERT_TRUE(job.framesPerHour.has_value());
    EXPECT_DOUBLE_EQ(*job.framesPerHour, 45.0);
    Build(t);
    EXPECT_STREQ(fields.text[6], "20.0000");
    EXPECT_EQ(html.find("inf"), std::string::npos);
    EXPECT_EQ(html.find("nan"), std::string::npos);
}

// A stalled CPU stays in the rows and the counts but adds nothing to the throughput, and so to the estimates.
TEST_F(Report, StalledCpuStaysCountedButLeavesThroughputAndEstimates) {
    TestTable two;
    OneJobTwoCpus(two);
    StatusReport live;
    BuildReport(two.Get(), kNow, form, live);
    const uint64_t mono = MonotonicNanos() + 3600 * 1000000000ULL;
    // Stalling checked, nobody silent: the golden text, byte for byte.
    BuildReport(two.Get(), kNow, form, report, {mono - 3600 * 1000000000ULL, 600});
    ExpectGolden("one_job.html", html);

    struct Case {
        uint32_t stallSeconds;
        bool stalled;  // the third CPU, silent for 700 s
    };
    for (const Case c : {Case{600, true}, Case{900, false}}) {
        TestTable three;
        OneJobTwoCpus(three);
        Progress(three.AddCpu(2), 0, 100, 15, 15, 600, 0);  // no passes yet, a 15 s pass time
        three.entries[0].receivedAt = three.entries[1].receivedAt = mono;
        three.entries[2].receivedAt = mono - 700 * 1000000000ULL;
        BuildReport(three.Get(), kNow, form, report, {mono, c.stallSeconds});
        const ReportData &d = report.data;
        EXPECT_EQ(d.rows.size(), 3u);
        EXPECT_EQ(d.rows[2].stalled, c.stalled);
        EXPECT_EQ(d.jobs[0].cpuCount, 3u);
        EXPECT_EQ(d.jobs[0].stalledCpus, c.stalled ? 1u : 0u);
        EXPECT_EQ(d.overall.stalledCpus, c.stalled ? 1u : 0u);
        EXPECT_STREQ(fields.text[0], "3") << "Active CPUs counts it";
        // Every figure but the count is the two live CPUs' when it is stalled;
        // otherwise its pass time changes the time per pass, remaining and end.
        for (int i = 1; i < kFieldCount; ++i) {
            const bool same = std::string(fields.text[i]) == live.fields.text[i];
            EXPECT_TRUE(c.stalled ? same : (i < 6 || !same))
                << "field " << kFieldFirstId + i << ": " << fields.text[i] << " / " << live.fields.text[i];
        }
        const auto jobTable = [](std::string h) {
            h = h.substr(h.find("Job Stats"));
            const size_t cpus = h.find("<tr><td>CPUs</td><td>");
            return h.erase(cpus, h.find("</tr>", cpus) - cpus);
        };
        EXPECT_EQ(jobTable(html) == jobTable(live.html), c.stalled) << html;
    }
}

TEST_F(Report, UnknownFiguresShowADash) {
    struct Case {
        const char *what;
        uint32_t done, total, passesPerFrame;
        int64_t recentSeconds;
        const char *percent, *throughput, *frameRate, *remaining, *end;
    };
    const Case cases[] = {
        {"no total yet", 0, 0, 4, 30, "-", "30.0000", "30.0000", "-", "-"},
        {"no pass time yet", 3, 100, 4, 0, "3.000000%", "-", "-", "-", "-"},
        {"no passes per frame yet", 3, 100, 0, 30, "3.000000%", "30.0000", "-", "48:30.0000",
         "12/8/2026 5:55:49 AM"},
        {"total underestimated", 120, 100, 4, 30, "120.000000%", "30.0000", "30.0000", "0.0000",
         "12/8/2026 5:07:19 AM"},
        {"done, no pass time", 100, 100, 4, 0, "100.000000%", "-", "-", "0.0000", "12/8/2026 5:07:19 AM"},
    };
    for (const Case &c : cases) {
        TestTable t;
        StatusRecord &r = t.AddCpu(0);
        Progress(r, c.done, c.total, c.recentSeconds, 30, 600, 0);
        r.passesPerFrame = c.passesPerFrame;
        Build(t);
        auto row = [&](const char *label, const char *value) {
            return "<tr><td>" + std::string(label) + "</td><td>" + value + "</td></tr>";
        };
        EXPECT_NE(html.find(row("Percent Complete", c.percent)), std::string::npos) << c.what << "\n" << html;
        EXPECT_NE(html.find(row("Recent Throughput", c.throughput)), std::string::npos) << c.what << "\n" << html;
        EXPECT_NE(html.find(row("Recent Throughput (frame/hour)", c.frameRate)), std::string::npos)
            << c.what << "\n" << html;
        EXPECT_NE(html.find(row("Estimated Remaining Time", c.remaining)), std::string::npos) << c.what << "\n"
                                                                                           << html;
        EXPECT_NE(html.find(row("Estimated End Time", c.end)), std::string::npos) << c.what << "\n" << html;
        EXPECT_STREQ(fields.text[3], c.percent) << c.what;
        EXPECT_STREQ(fields.text[7], c.remaining) << c.what;
    }
}

TEST_F(Report, OneJobsOvershootDoesNotHideAnothersRemainingPasses) {
    TestTable t;
    Progress(t.AddCpu(0, 1000), 150, 100, 30, 30, 600, 0);  // 50 passes past its estimate
    Progress(t.AddCpu(1, 1001), 50, 100, 30, 30, 600, 0);   // 50 passes to go
    ReportData data;
    ComputeReport(t.Get(), kNow, data);
    ASSERT_EQ(data.jobs.size(), 2u);
    EXPECT_EQ(data.jobs[0].estimates.remainingPasses, 0u);
    EXPECT_EQ(data.jobs[1].estimates.remainingPasses, 50u);
    EXPECT_EQ(data.overall.estimates.remainingPasses, 50u);
    // 50 passes at two CPUs of 30 s each: 15 s per pass.
    EXPECT_EQ(data.overall.estimates.remaining, 50 * 15 * kTickSecond);
}

TEST_F(Report, ExtremeValuesGiveNoGarbage) {
    TestTable t;
    StatusRecord &r = t.AddCpu(INT32_MAX);
    r.passesDone = UINT32_MAX;
    r.totalPasses = UINT32_MAX;
    r.recentPassTime = INT64_MAX;
    r.lastPassTime = INT64_MIN;
    r.elapsedTime = INT64_MIN;
    r.startTime = ~0ULL;
    r.passStartTime = ~0ULL;
    StatusRecord &s = t.AddCpu(INT32_MIN, 2000);
    s.passesDone = UINT32_MAX;
    s.totalPasses = 1;
    s.passesPerFrame = 1;
    s.recentPassTime = 1;  // a pass per tick
    Build(t);
    EXPECT_NE(html.find("<tr><td>2147483648</td><td>1</td>"), std::string::npos) << html;  // cpuIndex + 1
    EXPECT_NE(html.find("<tr><td>Passes Rendered</td><td>4294967295</td></tr>"), std::string::npos) << html;
    EXPECT_STREQ(fields.text[1], "8589934590");  // sums do not wrap at 32 bits
    EXPECT_STREQ(fields.text[2], "4294967296");
    for (const char *garbage : {"inf", "nan", "-2147483648</td><td>-"}) {
        EXPECT_EQ(html.find(garbage), std::string::npos) << garbage;
    }
    for (const auto &text : fields.text) EXPECT_LT(strnlen(text, sizeof text), sizeof text);
}

TEST_F(Report, WireTextNeverReachesTheFragmentAndLocaleTextIsEscaped) {
    TestTable t;
    OneJobTwoCpus(t);
    std::strcpy(t.entries[0].record.sceneName, "<script>alert(1)</script>");
    std::memset(t.entries[1].record.sceneFile, 'A', sizeof t.entries[1].record.sceneFile);  // no terminator
    WriterGuard odd([](const uint64_t *, char *text, size_t capacity) {
        std::snprintf(text, capacity, "1<2 & \"3\">");
        return 1;
    });
    Build(t);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("AAAA"), std::string::npos);
    EXPECT_EQ(html.find("1<2"), std::string::npos);
    EXPECT_NE(html.find("Last Update: 1&lt;2 &amp; &quot;3&quot;&gt;<br>"), std::string::npos) << html;
    EXPECT_STREQ(fields.text[4], "1<2 & \"3\">");  // the window shows text as is
}

TEST_F(Report, RowsAndJobsFollowTableOrder) {
    TestTable t;
    Progress(t.AddCpu(0, 1000), 1, 10, 10, 10, 100, 0);
    Progress(t.AddCpu(1, 1000), 2, 10, 10, 10, 100, 0);
    Progress(t.AddCpu(0, 1001), 3, 10, 10, 10, 100, 0);
    t.Add();
    ReportData data;
    ComputeReport(t.Get(), kNow, data);
    ASSERT_EQ(data.rows.size(), 4u);
    const uint32_t jobs[] = {1, 1, 2, 0};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(data.rows[i].job, jobs[i]) << "row " << i;
    ASSERT_EQ(data.jobs.size(), 2u);
    EXPECT_EQ(data.jobs[0].cpuCount, 2u);
    EXPECT_EQ(data.jobs[0].passesDone, 3u);
    EXPECT_EQ(data.overall.activeCpus, 3u);
    EXPECT_EQ(data.overall.doneSum, 6u);
    EXPECT_EQ(data.overall.totalSum, 20u);
}

// RefreshStatus writes the file only with output on, replacing it whole.
class ReportFile : public Report {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "pellick-report-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".htm";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    void OutputTo(const std::string &target) {
        settings.htmlOutput = 1;
        std::snprintf(settings.htmlPath, sizeof settings.htmlPath, "%s", target.c_str());
    }
    std::string path;
};

TEST_F(ReportFile, WrittenOnlyWhenOutputIsOn) {
    TestTable t;
    OneJobTwoCpus(t);
    settings.htmlOutput = 0;
    std::snprintf(settings.htmlPath, sizeof settings.htmlPath, "%s", path.c_str());
    RefreshStatus(t.Get(), settings, report);
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_STREQ(fields.text[0], "2");

    OutputTo(path);
    RefreshStatus(t.Get(), settings, report);
    const std::string written = ReadFile(path);
    EXPECT_EQ(written.rfind("Last Update: ", 0), 0u);
    EXPECT_NE(written.find("Job Stats"), std::string::npos);

    // Ending the server: with no clients the file says so.
    TestTable none;
    RefreshStatus(none.Get(), settings, report);
    EXPECT_NE(ReadFile(path).find("<tr><td>No render in progress</td></tr></tbody></table><br>"), std::string::npos);
    EXPECT_STREQ(fields.text[0], "0");
    EXPECT_STREQ(fields.text[8], "");
}

TEST_F(ReportFile, AFileThatCannotBeWrittenStillUpdatesTheFields) {
    TestTable t;
    OneJobTwoCpus(t);
    for (const std::string &bad : {std::string(), path + "/no/such/folder/x.htm"}) {
        OutputTo(bad);
        std::memset(&fields, 0, sizeof fields);
        RefreshStatus(t.Get(), settings, report);
        EXPECT_STREQ(fields.text[0], "2") << "path: " << bad;
    }
    // An unterminated path is cut, not overrun.
    settings.htmlOutput = 1;
    std::memset(settings.htmlPath, 'z', sizeof settings.htmlPath);
    RefreshStatus(t.Get(), settings, report);
    EXPECT_STREQ(fields.text[0], "2");
}

// What each turn of a file's writes says, in order.
std::vector<std::string> said;
void Say(const std::string &line) { said.push_back(line); }

// A file that cannot be written is said once when its writes start to fail
// and once when they work again, never once per refresh; the report carries
// the reason from the refresh after the write while output is on.
TEST_F(ReportFile, AnUnwritableFileIsSaidOnceAndItsRecoveryOnce) {
    said.clear();
    const std::string folder = path + ".d", target = folder + "/status.htm";
    const std::string failing = "cannot write " + target + ": the folder does not exist";
    FileWriteStatus status(Say);
    TestTable t;
    OneJobTwoCpus(t);
    OutputTo(target);
    for (int i = 0; i < 3; ++i) RefreshStatus(t.Get(), settings, report, nullptr, &status);
    EXPECT_EQ(said, std::vector<std::string>{failing});
    EXPECT_EQ(report.htmlError, failing);
    EXPECT_EQ(report.htmlErrorChanges, status.Changes());

    settings.htmlOutput = 0;  // off: nothing to say about the file
    RefreshStatus(t.Get(), settings, report, nullptr, &status);
    EXPECT_EQ(report.htmlError, "");
    settings.htmlOutput = 1;

    ASSERT_TRUE(std::filesystem::create_directory(folder));
    for (int i = 0; i < 3; ++i) RefreshStatus(t.Get(), settings, report, nullptr, &status);
    EXPECT_EQ(said, (std::vector<std::string>{failing, "wrote " + target + " again"}));
    EXPECT_EQ(report.htmlError, "");
    EXPECT_NE(ReadFile(target).find("Job Stats"), std::string::npos);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// A reader that reads the file while the server refreshes it never sees a partial page.
TEST_F(ReportFile, ReadersNeverSeeAPartialFile) {
    TestTable big;
    for (int i = 0; i < 200; ++i) Progress(big.AddCpu(i, 1000 + static_cast<uint64_t>(i % 3)), 5, 100, 30, 30, 600, 0);
    TestTable none;
    OutputTo(path);
    RefreshStatus(none.Get(), settings, report);
    ASSERT_FALSE(ReadFile(path).empty());

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, partial{0}, big_reads{0};
    std::string bad;
    std::thread reader([&] {
        for (int i = 0; i < 10000; ++i) {
            std::string text;
            {
                std::ifstream in(path, std::ios::binary);
                if (!in) continue;  // Windows: the file may be mid-replacement
                std::stringstream all;
                all << in.rdbuf();
                text = all.str();
            }
            reads += 1;
            const bool whole = text.rfind("Last Update: ", 0) == 0 && text.size() >= 20 &&
                               text.compare(text.size() - 20, 20, "</tbody></table><br>") == 0;
            if (!whole) {
                if (partial++ == 0) bad = text.substr(0, 200);
            } else if (text.find("Overall Stats") != std::string::npos) {
                big_reads += 1;
            }
        }
        stop = true;
    });
    // Alternate a small and a large report, so a partial write would show.
    int refreshes = 0;
    while (!stop) {
        RefreshStatus((refreshes++ % 2 ? none : big).Get(), settings, report);
    }
    reader.join();
    EXPECT_EQ(partial.load(), 0) << bad;
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(big_reads.load(), 0);
    EXPECT_GT(refreshes, 1);
}

}  // namespace
