// Tests of the dashboard's data: JSON (byte for byte against golden documents) and metrics of the golden report scenarios, the JSON writer, CPU pages, escaping of wire texts, the burn-down history, the run history's document and metrics.
#include "cpu_page.h"
#include "server_app.h"
#include "doc_queries.h"
#include "history_json.h"
#include "json_writer.h"
#include "status_json.h"
#include "webhook_events.h"
#include "web_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

namespace {

using namespace webtest;
using nlohmann::json;

// Checks each JSON pointer's value; numbers with a floating part are compared to 1e-9.
void ExpectValues(const json &doc, const std::vector<std::pair<const char *, json>> &expected) {
    for (const auto &[pointer, want] : expected) {
        const json::json_pointer at(pointer);
        if (!doc.contains(at)) {
            ADD_FAILURE() << pointer << " is missing";
            continue;
        }
        const json &got = doc.at(at);
        if (want.is_number_float() && got.is_number()) {
            EXPECT_NEAR(got.get<double>(), want.get<double>(), 1e-9) << pointer;
        } else {
            EXPECT_EQ(got, want) << pointer << "\n  got:      " << got.dump() << "\n  expected: " << want.dump();
        }
    }
}

// Metric samples by "name{labels}"; fails on a line that is not a sample or a comment.
std::map<std::string, double> ParseMetrics(const std::string &text) {
    std::map<std::string, double> samples;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return samples;
}

class WebStatus : public ::testing::Test {
protected:
    WriterGuard writer{FixedDateTime};
    JobHistory history;  // snapshots in the default form: MaxScale 3, Resolution 4
};

TEST_F(WebStatus, OneJobScenarioAsJson) {
    TestTable t;
    OneJobTwoCpus(t);
    WebSnapshot s = Snapshot(t, history);
    s.generation = 7;
    EXPECT_EQ(s.fragment, Golden("one_job.html")) << "the same scenario as the golden HTML";

    const json doc = json::parse(StatusJson(s));
    ExpectValues(doc, {
        {"/schema", 1},
        {"/generation", 7},
        {"/now", "2026-12-08T05:07:19Z"},
        {"/nowUnix", kNowUnix},
        {"/lastUpdate", "2026-12-08T05:07:14Z"},
        {"/lastUpdateText", "12/8/2026 5:07:14 AM"},
        {"/fields/0", {{"id", 1000}, {"label", "Active CPUs"}, {"text", "2"}}},
        {"/fields/1/text", "40"},
        {"/fields/2/text", "100"},
        {"/fields/3/text", "40.000000%"},
        {"/fields/4/text", "12/8/2026 4:37:19 AM"},
        {"/fields/5/text", "30:00.0000"},
        {"/fields/6/label", "Recent Time/Pass"},
        {"/fields/6/text", "20.0000"},
        {"/fields/7/text", "20:00.0000"},
        {"/fields/8", {{"id", 1008}, {"label", "Est Complete at"}, {"text", "12/8/2026 5:27:19 AM"}}},
        {"/overall/activeCpus", 2},
        {"/overall/stalledCpus", 0},
        {"/overall/passesDone", 40},
        {"/overall/totalPasses", 100},
        {"/overall/percent", 40.0},
        {"/overall/passesPerHour", 180.0},
        {"/overall/secondsPerPass", 20.0},
        {"/overall/startTime", "2026-12-08T04:37:19Z"},
        {"/overall/elapsedSeconds", 1800.0},
        {"/overall/remainingPasses", 60},
        {"/overall/remainingSeconds", 1200.0},
        {"/overall/completion", "2026-12-08T05:27:19Z"},
        {"/jobs/0/job", 1},
        {"/jobs/0/sceneName", "Castle"},
        {"/jobs/0/sceneFile", "C:\\scenes\\castle.lws"},
        {"/jobs/0/sceneFileTime", "2026-12-07T05:07:19Z"},
        {"/jobs/0/sceneFileSize", 1000},
        {"/jobs/0/frames", {{"first", 1}, {"last", 25}, {"step", 1}}},
        {"/jobs/0/cpus", 2},
        {"/jobs/0/stalledCpus", 0},
        {"/jobs/0/passesPerFrame", 4},
        {"/jobs/0/passesDone", 40},
        {"/jobs/0/totalPasses", 100},
        {"/jobs/0/percent", 40.0},
        {"/jobs/0/passesPerHour", 180.0},
        {"/jobs/0/framesPerHour", 45.0},
        {"/jobs/0/remainingSeconds", 1200.0},
        {"/jobs/0/completion", "2026-12-08T05:27:19Z"},
        {"/jobs/0/texts",
         {{"secondsPerPass", "20.0000"},
          {"framesPerHour", "45.0000"},
          {"passesPerHour", "180.0000"},
          {"startTime", "12/8/2026 4:37:19 AM"},
          {"elapsed", "30:00.0000"},
          {"remaining", "20:00.0000"},
          {"completion", "12/8/2026 5:27:19 AM"}}},
        {"/jobs/0/history", json::array({json::array({kNowUnix, 60})})},
        {"/cpus/0/cpu", 1},
        {"/cpus/0/job", 1},
        {"/cpus/0/frame", 8},
        {"/cpus/0/passes", 30},
        {"/cpus/0/averageSeconds", 59.6666666},  // elapsed / passes in whole ticks
        {"/cpus/0/recentSeconds", 60.0},
        {"/cpus/0/lastSeconds", 58.0},
        {"/cpus/0/lastUpdate", "2026-12-08T05:07:09Z"},
        {"/cpus/0/stalled", false},
        {"/cpus/0/texts",
         {{"average", "59.6666"}, {"recent", "1:00.0000"}, {"last", "58.0000"}, {"at", "12/8/2026 5:07:09 AM"}}},
        {"/cpus/1/cpu", 2},
        {"/cpus/1/frame", 3},
        {"/cpus/1/passes", 10},
        {"/cpus/1/texts/average", "59.5000"},
        {"/cpus/1/lastUpdate", "2026-12-08T05:07:14Z"},
        {"/connections", {{"open", 2}, {"waiting", 0}, {"refused", {{"perAddress", 0}, {"network", 0}, {"descriptors", 0}}}}},
        {"/settings/maxScale", 3},
        {"/settings/resolution", 4},
        {"/settings/stallSeconds", 600},
        {"/settings/sample", "3 days, 5:23:47.1234"},
    });
    EXPECT_EQ(doc["jobs"].size(), 1u);
    EXPECT_EQ(doc["cpus"].size(), 2u);
    EXPECT_EQ(doc["jobs"][0]["id"].get<std::string>().size(), 16u);
}

TEST_F(WebStatus, TwoJobScenarioAsJsonAndMetrics) {
    TestTable t;
    OneJobTwoCpus(t, 1001);
    t.table.messagesAccepted = 12;
    t.table.messagesRejected = 3;
    const WebSnapshot s = Snapshot(t, history);
    EXPECT_EQ(s.fragment, Golden("two_jobs.html"));

    const json doc = json::parse(StatusJson(s));
    ExpectValues(doc, {
        {"/fields/2/text", "200"},
        {"/fields/3/text", "20.000000%"},
        {"/fields/7/text", "53:20.0000"},
        {"/fields/8/text", "12/8/2026 6:00:39 AM"},
        {"/overall/totalPasses", 200},
        {"/overall/remainingPasses", 160},
        {"/overall/remainingSeconds", 3200.0},
        {"/jobs/0/job", 1},
        {"/jobs/0/cpus", 1},
        {"/jobs/0/passesDone", 30},
        {"/jobs/0/remainingSeconds", 4200.0},
        {"/jobs/0/texts/remaining", "1:10:00.0000"},
        {"/jobs/1/job", 2},
        {"/jobs/1/sceneFileSize", 1001},
        {"/jobs/1/passesDone", 10},
        {"/jobs/1/passesPerHour", 120.0},
        {"/jobs/1/remainingSeconds", 2700.0},
        {"/cpus/1/job", 2},
        {"/messages", {{"accepted", 12}, {"rejected", 3}}},
    });
    EXPECT_NE(doc["jobs"][0]["id"], doc["jobs"][1]["id"]);

    const std::string text = MetricsText(s);
    const auto samples = ParseMetrics(text);
    const std::string job1 = "{job_number=\"1\",id=\"" + s.jobs[0].id + "\",scene=\"Castle\"}";
    const std::string job2 = "{job_number=\"2\",id=\"" + s.jobs[1].id + "\",scene=\"Castle\"}";
    const std::pair<std::string, double> expected[] = {
        {"pellick_active_cpus", 2},
        {"pellick_connections_open", 2},
        {"pellick_messages_accepted_total", 12},
        {"pellick_messages_rejected_total", 3},
        {"pellick_jobs", 2},
        {"pellick_job_cpus" + job1, 1},
        {"pellick_job_passes_done" + job1, 30},
        {"pellick_job_passes_estimated" + job1, 100},
        {"pellick_job_remaining_seconds" + job1, 4200},
        {"pellick_job_throughput_passes_per_second" + job1, 60.0 / 3600},
        {"pellick_job_passes_done" + job2, 10},
        {"pellick_job_remaining_seconds" + job2, 2700},
        {"pellick_job_throughput_passes_per_second" + job2, 120.0 / 3600},
    };
    for (const auto &[name, value] : expected) {
        const auto found = samples.find(name);
        if (found == samples.end()) {
            ADD_FAILURE() << name << " is missing from\n" << text;
        } else {
            EXPECT_NEAR(found->second, value, 1e-9) << name;
        }
    }
    EXPECT_NE(text.find("# TYPE pellick_messages_accepted_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE pellick_job_passes_done gauge\n"), std::string::npos);
}

// A stalled CPU is marked and counted, and its job's throughput and estimates are the live CPU's alone.
// The cpu.stalled event: the CPU's row byte for byte as /status.json writes it, its job as jobs[]
// names it; only CPUs the check announced and the report shows stalled, and only with a webhook.
TEST_F(WebStatus, StalledCpuEventCarriesTheStatusRowAndItsJob) {
    TestTable t;
    OneJobTwoCpus(t);
    const uint64_t mono = MonotonicNanos() + 3600 * 1000000000ULL;  // later than 601 s after boot, too
    t.entries[0].receivedAt = mono;
    t.entries[1].receivedAt = mono - 601 * 1000000000ULL;  // CPU 2 stalled, CPU 1 not
    ServerSettings settings;
    StatusReport report;
    BuildReport(t.Get(), kNow, settings.Form(), report, {mono, static_cast<uint32_t>(settings.stallSeconds)});
    WebSnapshot s;
    BuildSnapshot(t.Get(), report, settings, history, s);
    const json doc = json::parse(StatusJson(s));

    static std::vector<std::pair<std::string, std::string>> posted;  // url, body
    NotifierConfig config;
    config.post = [](const char *url, const char *body, size_t length, uint32_t, const std::atomic<bool> *,
                     HttpPostResult &) {
        posted.emplace_back(url, std::string(body, length));
        return 1;
    };
    Notifier *notifier = NotifierStart(config);
    ASSERT_NE(notifier, nullptr);
    const std::vector<NetSocket> both = {t.entries[0].record.socket, t.entries[1].record.socket};
    std::vector<NetSocket> announced = both;
    PostStalledCpus(notifier, settings, report, JobInfos(report.data), announced);  // no webhook: nothing goes out
    EXPECT_TRUE(announced.empty());
    std::strcpy(settings.webhook, "http://127.0.0.1:9/hook");
    announced = both;
    PostStalledCpus(notifier, settings, report, JobInfos(report.data), announced);
    EXPECT_TRUE(announced.empty());
    EXPECT_TRUE(NotifierIdle(notifier, 5000));
    NotifierStop(notifier, 0);
    ASSERT_EQ(posted.size(), 1u) << "only the CPU the report shows stalled";
    EXPECT_EQ(posted[0].first, "http://127.0.0.1:9/hook");
    const json event = json::parse(posted[0].second);
    EXPECT_EQ(event["event"], "cpu.stalled");
    EXPECT_EQ(event["cpu"], doc["cpus"][1]);
    EXPECT_EQ(event["job"], (json{{"id", doc["jobs"][0]["id"]}, {"number", 1}, {"sceneName", "Castle"}}));
    EXPECT_EQ(posted[0].second, CpuStalledEventJson(s.cpus[1], s.jobs[0].id, 1, "Castle"));
}

TEST_F(WebStatus, StalledCpuIsMarkedCountedAndOutOfTheThroughput) {
    TestTable t;
    OneJobTwoCpus(t);
    const uint64_t mono = MonotonicNanos() + 3600 * 1000000000ULL;  // later than 601 s after boot, too
    t.entries[0].receivedAt = mono;
    t.entries[1].receivedAt = mono - 601 * 1000000000ULL;  // CPU 2: 30 s passes, silent past the 600 s
    ServerSettings settings;
    StatusReport report;
    BuildReport(t.Get(), kNow, settings.Form(), report, {mono, static_cast<uint32_t>(settings.stallSeconds)});
    WebSnapshot s;
    BuildSnapshot(t.Get(), report, settings, history, s);

    const json doc = json::parse(StatusJson(s));
    ExpectValues(doc, {
        {"/overall/activeCpus", 2},
        {"/overall/stalledCpus", 1},
        {"/overall/passesPerHour", 60.0},  // CPU 1's 60 s passes alone
        {"/overall/remainingSeconds", 3600.0},
        {"/jobs/0/cpus", 2},
        {"/jobs/0/stalledCpus", 1},
        {"/jobs/0/passesPerHour", 60.0},
        {"/jobs/0/remainingSeconds", 3600.0},
        {"/jobs/0/texts/remaining", "1:00:00.0000"},
        {"/cpus/0/stalled", false},
        {"/cpus/1/stalled", true},
        {"/fields/0/text", "2"},
        {"/fields/7/text", "1:00:00.0000"},
    });
    const auto samples = ParseMetrics(MetricsText(s));
    const std::string job = "{job_number=\"1\",id=\"" + s.jobs[0].id + "\",scene=\"Castle\"}";
    const std::pair<std::string, double> expected[] = {
        {"pellick_active_cpus", 2},
        {"pellick_job_cpus" + job, 2},
        {"pellick_job_stalled_cpus" + job, 1},
        {"pellick_job_remaining_seconds" + job, 3600},
        {"pellick_job_throughput_passes_per_second" + job, 60.0 / 3600},
    };
    for (const auto &[name, value] : expected) {
        const auto found = samples.find(name);
        ASSERT_NE(found, samples.end()) << name;
        EXPECT_NEAR(found->second, value, 1e-9) << name;
    }
}

// The status port's rules as /status.json and /metrics show them: the settings in force,
// the networks as CIDR texts (null: any address, []: none), and the refusals by reason.
TEST_F(WebStatus, StatusPortRulesAndRefusals) {
    TestTable t;
    OneJobTwoCpus(t);
    t.table.refused = {12, 3, 40};
    ServerSettings settings;
    settings.maxCpusPerAddress = 64;
    settings.statusNetworks = ParseStatusNetworks("10.20.0.0/16,192.168.5.0/24 bad").filter;
    const WebSnapshot s = Snapshot(t, history, kNow, settings);
    json doc = json::parse(StatusJson(s));
    ExpectValues(doc, {
        {"/connections/refused", {{"perAddress", 12}, {"network", 3}, {"descriptors", 40}}},
        {"/settings/maxCpusPerAddress", 64},
        {"/settings/statusNetworks", {"10.20.0.0/16", "192.168.5.0/24"}},
    });
    EXPECT_EQ(json::parse(SummaryJson(s))["settings"], doc["settings"]);
    // The options answer carries the same settings object.
    EXPECT_EQ(json::parse(ChangeResultJson(true, &s.settings))["settings"], doc["settings"]);

    const std::string text = MetricsText(s);
    const auto samples = ParseMetrics(text);
    EXPECT_EQ(samples.at("pellick_connections_refused_total{reason=\"per_address\"}"), 12);
    EXPECT_EQ(samples.at("pellick_connections_refused_total{reason=\"network\"}"), 3);
    EXPECT_EQ(samples.at("pellick_connections_refused_total{reason=\"descriptors\"}"), 40);
    EXPECT_NE(text.find("# TYPE pellick_connections_refused_total counter\n"), std::string::npos);

    // A list with no good entry admits no one: an empty array, never null.
    settings.statusNetworks = ParseStatusNetworks("garbage").filter;
    doc = json::parse(StatusJson(Snapshot(t, history, kNow, settings)));
    EXPECT_EQ(doc["settings"]["statusNetworks"], json::array());
    EXPECT_EQ(json::parse(StatusJson(Snapshot(t, history)))["settings"]["statusNetworks"], nullptr);
    TestTable fresh;
    const auto none = ParseMetrics(MetricsText(Snapshot(fresh, history)));
    for (const char *reason : {"per_address", "network", "descriptors"}) {
        EXPECT_EQ(none.at(std::string("pellick_connections_refused_total{reason=\"") + reason + "\"}"), 0)
            << "every reason is there from the start";
    }
}

TEST_F(WebStatus, EmptyAndWaitingTablesHaveNoFiguresToGuess) {
    TestTable empty;
    const WebSnapshot none = Snapshot(empty, history);
    EXPECT_EQ(none.fragment, Golden("empty.html"));
    json doc = json::parse(StatusJson(none));
    ExpectValues(doc, {
        {"/fields/0/text", "0"},
        {"/fields/3/text", ""},
        {"/fields/8/text", ""},
        {"/overall/activeCpus", 0},
        {"/overall/percent", nullptr},
        {"/overall/startTime", nullptr},
        {"/overall/elapsedSeconds", nullptr},
        {"/overall/remainingSeconds", nullptr},
        {"/overall/completion", nullptr},
        {"/jobs", json::array()},
        {"/cpus", json::array()},
        {"/connections/open", 0},
        {"/connections/waiting", 0},
    });
    const auto samples = ParseMetrics(MetricsText(none));
    EXPECT_EQ(samples.at("pellick_active_cpus"), 0);
    EXPECT_EQ(samples.count("pellick_job_cpus"), 0u);

    TestTable waiting;
    waiting.Add();
    waiting.Add().cpuIndex = 7;
    const WebSnapshot notYet = Snapshot(waiting, history);
    EXPECT_EQ(notYet.fragment, Golden("no_data.html"));
    doc = json::parse(StatusJson(notYet));
    ExpectValues(doc, {{"/connections/open", 2}, {"/connections/waiting", 2}, {"/cpus", json::array()}});
}

TEST_F(WebStatus, UnknownEstimatesAreNullNotGarbage) {
    TestTable t;
    StatusRecord &r = t.AddCpu(0);  // just started: no totals, no pass time
    r.startTime = kNow - 2 * kSecond;
    r.passStartTime = r.startTime;
    r.currentFrame = 1;
    const WebSnapshot s = Snapshot(t, history);
    EXPECT_EQ(s.fragment, Golden("startup.html"));
    const json doc = json::parse(StatusJson(s));
    ExpectValues(doc, {
        {"/jobs/0/percent", nullptr},
        {"/jobs/0/passesPerHour", nullptr},
        {"/jobs/0/framesPerHour", nullptr},
        {"/jobs/0/secondsPerPass", nullptr},
        {"/jobs/0/remainingSeconds", nullptr},
        {"/jobs/0/completion", nullptr},
        {"/jobs/0/texts/remaining", "-"},
        {"/jobs/0/history", json::array()},
        {"/overall/elapsedSeconds", 2.0},
    });
    const std::string metrics = MetricsText(s);
    EXPECT_EQ(metrics.find("pellick_job_remaining_seconds{"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("nan"), std::string::npos);
    EXPECT_EQ(metrics.find("inf"), std::string::npos);
}

TEST_F(WebStatus, WireTextsAreDataNeverMarkup) {
    TestTable t;
    OneJobTwoCpus(t, 1001);
    std::strcpy(t.entries[0].record.sceneName, "<script>alert(\"x\")</script> & \\ \n");
    std::memcpy(t.entries[1].record.sceneName, "Caf\xE9 \x80\x81\0", 8);
    std::memset(t.entries[1].record.sceneFile, 'A', kTextSize);  // no terminator
    const WebSnapshot s = Snapshot(t, history);

    const std::string text = StatusJson(s);
    for (const char *raw : {"<", ">", "&", "\n"}) EXPECT_EQ(text.find(raw), std::string::npos) << raw;
    const json doc = json::parse(text);
    ExpectValues(doc, {
        {"/jobs/0/sceneName", "<script>alert(\"x\")</script> & \\ \n"},
        {"/jobs/1/sceneName", "Caf\xC3\xA9 \xE2\x82\xAC\xEF\xBF\xBD"},
        {"/jobs/1/sceneFile", std::string(kTextSize, 'A')},
    });

    const std::string metrics = MetricsText(s);
    EXPECT_NE(metrics.find("scene=\"<script>alert(\\\"x\\\")</script> & \\\\ \\n\"}"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("scene=\"Caf\xC3\xA9 \xE2\x82\xAC\xEF\xBF\xBD\"}"), std::string::npos) << metrics;
    // Every line is a comment or one sample: no label breaks a line.
    ParseMetrics(metrics);
}

TEST(IsoUtc, CalendarAndLimits) {
    const auto at = [](int64_t unix) { return static_cast<uint64_t>(unix + 11644473600LL) * kSecond; };
    const std::pair<uint64_t, const char *> cases[] = {
        {0, ""},
        {kNow, "2026-12-08T05:07:19Z"},
        {at(0), "1970-01-01T00:00:00Z"},
        {1, "1601-01-01T00:00:00Z"},
        {at(951782400), "2000-02-29T00:00:00Z"},
        {at(1709251199), "2024-02-29T23:59:59Z"},
        {at(253402300799), "9999-12-31T23:59:59Z"},
        {at(253402300800), ""},
        {~0ULL, ""},
    };
    for (const auto &[instant, text] : cases) EXPECT_EQ(IsoUtc(instant), text) << instant;
}

TEST(JobHistory, KeepsTheLastHourAtMostTwoPointsPerStep) {
    JobHistory h;
    const std::string job = "job";
    const auto times = [&](int64_t t, uint64_t r) {
        std::vector<int64_t> out;
        for (const HistoryPoint &p : h.Record(job, t, r)) out.push_back(p.unixSeconds);
        return out;
    };
    EXPECT_EQ(times(1000, 90), (std::vector<int64_t>{1000}));
    EXPECT_EQ(times(1003, 89), (std::vector<int64_t>{1000, 1003}));
    EXPECT_EQ(times(1006, 88), (std::vector<int64_t>{1000, 1006})) << "the newest replaces a provisional point";
    EXPECT_EQ(times(1012, 87), (std::vector<int64_t>{1000, 1006, 1012}));
    EXPECT_EQ(h.Record(job, 1012, 86).back().remainingPasses, 86u);

    // A message a second for two hours: bounded, and nothing older than an hour.
    for (int64_t t = 2000; t < 2000 + 7200; ++t) h.Record(job, t, static_cast<uint64_t>(9200 - t));
    const auto &points = h.Record(job, 9200, 0);
    EXPECT_LE(points.size(), 2 * JobHistory::kWindowSeconds / JobHistory::kStepSeconds + 2);
    EXPECT_GE(points.front().unixSeconds, 9200 - JobHistory::kWindowSeconds);
    EXPECT_EQ(points.back().unixSeconds, 9200);
    for (size_t i = 2; i < points.size(); ++i) {
        EXPECT_GE(points[i].unixSeconds - points[i - 2].unixSeconds, JobHistory::kStepSeconds) << i;
    }

    // A clock set back starts the line again.
    EXPECT_EQ(h.Record(job, 5000, 7).size(), 1u);
}

TEST(JobHistory, ForgetsJobsAndStaysBounded) {
    JobHistory h;
    h.Record("old", 100, 5);
    h.Record("new", 3000, 5);
    h.Expire(3700);
    EXPECT_EQ(h.JobCount(), 2u);
    h.Expire(3701);
    EXPECT_EQ(h.JobCount(), 1u) << "a job unseen for an hour is forgotten";

    for (size_t i = 0; i < JobHistory::kMaxJobs + 10; ++i) {
        h.Record("job" + std::to_string(i), 4000 + static_cast<int64_t>(i), 1);
    }
    EXPECT_EQ(h.JobCount(), JobHistory::kMaxJobs);
    EXPECT_EQ(h.Record("job" + std::to_string(JobHistory::kMaxJobs + 9), 5100, 1).size(), 2u)
        << "the newest jobs were kept";
    EXPECT_EQ(h.Record("new", 5100, 1).size(), 1u) << "the least recently seen job made room";
}

TEST_F(WebStatus, HistoryFollowsTheJobAcrossRefreshes) {
    TestTable t;
    OneJobTwoCpus(t);
    Snapshot(t, history, kNow - 120 * kSecond);
    t.entries[0].record.passesDone = 35;
    const WebSnapshot s = Snapshot(t, history);
    ASSERT_EQ(s.jobs.size(), 1u);
    ASSERT_EQ(s.jobs[0].history.size(), 2u);
    EXPECT_EQ(s.jobs[0].history[0].unixSeconds, kNowUnix - 120);
    EXPECT_EQ(s.jobs[0].history[0].remainingPasses, 60u);
    EXPECT_EQ(s.jobs[0].history[1].remainingPasses, 55u);

    // A CPU of another scene is another job with a line of its own.
    t.entries[1].record.sceneName[0] = 'X';
    const WebSnapshot two = Snapshot(t, history, kNow + 10 * kSecond);
    ASSERT_EQ(two.jobs.size(), 2u);
    EXPECT_EQ(two.jobs[0].history.size(), 3u);
    EXPECT_EQ(two.jobs[1].history.size(), 1u);
}

// What the document always was: the library's dump with <, > and & as \u escapes.
std::string LibraryDump(const json &value) {
    std::string out;
    for (const char c : value.dump(-1, ' ', false, json::error_handler_t::replace)) {
        if (c == '<') out += "\\u003c";
        else if (c == '>') out += "\\u003e";
        else if (c == '&') out += "\\u0026";
        else out += c;
    }
    return out;
}

TEST(StatusJsonBytes, EveryScenarioIsByteForByteTheGoldenDocument) {
    WriterGuard writer{FixedDateTime};
    for (const auto &[name, s] : JsonScenarios()) {
        const std::string golden = Golden((name + ".json").c_str());
        ASSERT_FALSE(golden.empty()) << name;
        EXPECT_EQ(StatusJson(s), golden) << name;
        // The live summary is the same document without the per-CPU table.
        json summary = json::parse(SummaryJson(s)), whole = json::parse(golden);
        EXPECT_FALSE(summary.contains("cpus")) << name;
        whole.erase("cpus");
        EXPECT_EQ(summary, whole) << name;
    }
}

TEST(JsonWriter, StringsAreWrittenAsTheLibraryWritesThem) {
    const std::vector<std::string> texts = {
        "", "plain", "\"quoted\" \\ back", std::string("nul\0in", 6), "\b\f\n\r\t\x01\x1f\x7f",
        "<b>&amp;</b>", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC",  // well-formed 2, 3 and 4 bytes
        "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5",  // overlong, surrogate, too big
        "\xE2\x82", "a\xE2\x82" "A", "\xC3\xC3\xA9", "\xF0\x9F\x8E", "\xFF\xFE end",        // cut sequences
    };
    for (const std::string &t : texts) {
        EXPECT_EQ(JsonString(t), LibraryDump(json(t))) << "bytes: " << json(t).dump(-1, ' ', true, json::error_handler_t::replace);
    }
}

TEST(JsonWriter, NumbersKeepTheirDigitsAndNestingItsCommas) {
    std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 1e-7, 123456789.125, 1e15, 1e16, 1e21, 5e-324,
                                  1.7976931348623157e308, 7254.9491309, 74.06853206423921, 1.0 / 3.0};
    std::mt19937_64 random(14);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(static_cast<double>(random() % 100000000000ULL) / 1e7);  // tick counts as seconds
        uint64_t bits = random();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        if (std::isfinite(any)) values.push_back(any);
    }
    for (const double v : values) {
        std::string out;
        JsonWriter(out).Double(v);
        if (out != json(v).dump()) {
            ADD_FAILURE() << out << " != " << json(v).dump();
            break;
        }
    }
    std::string out;
    JsonWriter w(out);
    w.BeginObject();
    w.Member("a", std::numeric_limits<int64_t>::min());
    w.Member("b", std::numeric_limits<uint64_t>::max());
    w.Member("c", std::nan(""));
    w.Key("d");
    w.BeginArray();
    w.BeginArray();
    w.EndArray();
    w.BeginObject();
    w.EndObject();
    w.Bool(false);
    w.Double(std::optional<double>());
    w.EndArray();
    w.Member("e", "x");
    w.EndObject();
    EXPECT_EQ(out, R"({"a":-9223372036854775808,"b":18446744073709551615,"c":null,"d":[[],{},false,null],"e":"x"})");
}

// The number form the writer takes from the JSON library, written out: a library update that changed
// it would change every document's digits.
TEST(JsonWriter, NumberFormIsPinned) {
    const std::pair<double, const char *> cases[] = {
        {0.0, "0.0"},           {-0.0, "-0.0"},        {0.1, "0.1"},
        {1e-7, "1e-07"},        {1e-4, "0.0001"},      {1e21, "1e+21"},
        {59.6666666, "59.6666666"}, {-2.5, "-2.5"},   {-0.001, "-0.001"},
        {3600.0, "3600.0"},     {123456789.0, "123456789.0"}, {1e15, "1e+15"},
        {9007199254740992.0, "9.007199254740992e+15"}, {5e-324, "5e-324"},
    };
    for (const auto &[value, text] : cases) {
        std::string out;
        JsonWriter(out).Double(value);
        EXPECT_EQ(out, text) << "value " << value;
    }
}

TEST(JsonWriter, AnswersToOptionChangesAndRefusals) {
    WebSettings settings;
    settings.maxScale = 2;
    settings.resolution = 1;
    settings.stallSeconds = 600;
    settings.htmlOutput = true;
    settings.htmlPath = "/srv/<r&d>/status.htm";
    settings.sample = "1m 05s";
    settings.maxCpusPerAddress = 1024;
    EXPECT_EQ(ChangeResultJson(true, &settings),
              R"({"ok":true,"persisted":true,"settings":{"maxScale":2,"resolution":1,"stallSeconds":600,)"
              R"("htmlOutput":true,"htmlPath":"/srv/\u003cr\u0026d\u003e/status.htm","htmlError":null,)"
              R"("sample":"1m 05s","webhook":"","maxCpusPerAddress":1024,"statusNetworks":null}})");
    settings.htmlError = "cannot write /x: gone";
    EXPECT_NE(ChangeResultJson(false, &settings).find(R"("persisted":false,)"), std::string::npos);
    EXPECT_NE(ChangeResultJson(false, &settings).find(R"("htmlError":"cannot write /x: gone")"), std::string::npos);
    EXPECT_EQ(ChangeResultJson(false, nullptr), R"({"ok":true,"persisted":false})");
    EXPECT_EQ(ErrorJson("bad <limit> \xff"), R"({"error":"bad \u003climit\u003e )" "\xEF\xBF\xBD" R"("})");
}

TEST(CpuQuery, ReadsEachParameterAndRefusesBadValues) {
    struct Case {
        const char *query;
        uint32_t job;
        CpuQuery::Sort sort;
        bool descending;
        uint64_t offset;
        uint32_t limit;
    };
    using S = CpuQuery::Sort;
    const Case cases[] = {
        {"", 0, S::Table, false, 0, kCpuPageDefault},
        {"job=3&offset=200&limit=50&sort=cpu", 3, S::Cpu, false, 200, 50},
        {"sort=-cpu&limit=500&_=1765370000", 0, S::Cpu, true, 0, 500},
        {"sort=-table&stalled=1&job=0", 0, S::Table, true, 0, kCpuPageDefault},
    };
    for (const Case &c : cases) {
        CpuQuery q;
        std::string error;
        ASSERT_TRUE(ParseCpuQuery(c.query, q, error)) << c.query << ": " << error;
        EXPECT_EQ(q.job, c.job) << c.query;
        EXPECT_EQ(q.sort, c.sort) << c.query;
        EXPECT_EQ(q.descending, c.descending) << c.query;
        EXPECT_EQ(q.offset, c.offset) << c.query;
        EXPECT_EQ(q.limit, c.limit) << c.query;
    }
    for (const char *bad : {"limit=0", "limit=501", "limit=-1", "limit=", "offset=-5", "offset=1e3",
                            "offset=99999999999999999999", "job=x", "job=%201", "job=4294967296", "sort=frame",
                            "sort=", "stalled=yes", "job=1&limit=9999"}) {
        CpuQuery q;
        std::string error;
        EXPECT_FALSE(ParseCpuQuery(bad, q, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(HistoryJson, LimitNewestFirstNullsAndInertNames) {
    HistoryView view;
    view.stored = true;
    for (int64_t id = 3; id >= 1; --id) {
        RunEntry e;
        e.run = id;
        e.jobId = "00000000000000ff";
        e.sceneName = "<b>&";
        e.firstSeen = kNow - 100 * kSecond;
        e.lastSeen = kNow;
        e.outcome = id == 3 ? RunOutcome::Running : RunOutcome::Complete;
        if (id != 3) e.endedAt = kNow - 40 * kSecond;
        e.forecasts = {{10, kNow - 90 * kSecond, std::nullopt, std::nullopt}, {50, kNow - 50 * kSecond, kNow, 0.25}};
        view.runs.push_back(e);
    }
    const struct {
        const char *query;
        size_t runs;
    } limits[] = {{"", 3}, {"limit=2", 2}, {"limit=1000&x=y", 3}};
    for (const auto &c : limits) {
        uint32_t limit = 0;
        std::string error;
        ASSERT_TRUE(ParseHistoryQuery(c.query, limit, error)) << c.query;
        const json doc = json::parse(HistoryJson(view, limit));
        EXPECT_EQ(doc["runs"].size(), c.runs) << c.query;
        EXPECT_EQ(doc["runs"][0]["run"], 3) << c.query;
    }
    for (const char *bad : {"limit=0", "limit=1001", "limit=", "limit=ten", "limit=-1"}) {
        uint32_t limit = 0;
        std::string error;
        EXPECT_FALSE(ParseHistoryQuery(bad, limit, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    const std::string text = HistoryJson(view, 3);
    EXPECT_EQ(text.find('<'), std::string::npos) << text;
    const json doc = json::parse(text);
    ExpectValues(doc, {{"/schema", 1},
                       {"/stored", true},
                       {"/runs/0/outcome", "running"},
                       {"/runs/0/end", nullptr},
                       {"/runs/0/durationSeconds", 100.0},
                       {"/runs/0/meanAbsErrorRatio", nullptr},
                       {"/runs/1/outcome", "complete"},
                       {"/runs/1/durationSeconds", 60.0},
                       {"/runs/1/sceneName", "<b>&"},
                       {"/runs/1/forecasts/0/predictedCompletion", nullptr},
                       {"/runs/1/forecasts/0/errorRatio", nullptr},
                       {"/runs/1/forecasts/1/percent", 50},
                       {"/runs/1/forecasts/1/errorRatio", 0.25}});
    EXPECT_EQ(json::parse(HistoryEntryJson(view.runs[1])), doc["runs"][1]) << "a notification carries the same object";
}

TEST(HistoryMetrics, CountersAndCumulativeBuckets) {
    RunStats stats;
    stats.complete = 4;
    stats.interrupted = 1;
    stats.errorBuckets = {1, 0, 2, 0, 0, 0, 0, 1};  // 0.01, 0.2, 0.2, 9
    stats.errorCount = 4;
    stats.errorSum = 9.41;
    const auto samples = ParseMetrics(HistoryMetricsText(stats));
    const std::map<std::string, double> want = {
        {"pellick_jobs_finished_total{outcome=\"complete\"}", 4},
        {"pellick_jobs_finished_total{outcome=\"interrupted\"}", 1},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"0.05\"}", 1},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"0.1\"}", 1},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"0.25\"}", 3},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"0.5\"}", 3},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"1\"}", 3},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"2\"}", 3},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"5\"}", 3},
        {"pellick_forecast_abs_error_ratio_bucket{le=\"+Inf\"}", 4},
        {"pellick_forecast_abs_error_ratio_sum", 9.41},
        {"pellick_forecast_abs_error_ratio_count", 4},
    };
    EXPECT_EQ(samples, want);
}

TEST_F(WebStatus, CpuPagesFilterSortAndCount) {
    WebSnapshot s;
    s.generation = 9;
    // The report's order: job 1 (CPUs 7, 2, 9), then job 2 (CPUs 1, 5); CPUs 2 and 5 stalled.
    for (const auto &[cpu, job] : std::vector<std::pair<int64_t, uint32_t>>{{7, 1}, {2, 1}, {9, 1}, {1, 2}, {5, 2}}) {
        WebCpu c;
        c.cpu = cpu;
        c.job = job;
        c.stalled = cpu == 2 || cpu == 5;
        s.cpus.push_back(c);
    }
    struct Case {
        const char *query;
        uint64_t total, offset;
        std::vector<int64_t> cpus;
    };
    const Case cases[] = {
        {"", 5, 0, {7, 2, 9, 1, 5}},
        {"sort=-table", 5, 0, {5, 1, 9, 2, 7}},
        {"sort=cpu&limit=2", 5, 0, {1, 2}},
        {"sort=cpu&offset=2&limit=2", 5, 2, {5, 7}},
        {"sort=-cpu&offset=4", 5, 4, {1}},
        {"job=1&sort=cpu", 3, 0, {2, 7, 9}},
        {"job=2&offset=1", 2, 1, {5}},
        {"job=3", 0, 0, {}},
        {"offset=10", 5, 5, {}},
        {"stalled=1", 2, 0, {2, 5}},
        {"stalled=1&job=2", 1, 0, {5}},
        {"stalled=0&sort=-cpu&limit=1", 5, 0, {9}},
    };
    for (const Case &c : cases) {
        CpuQuery q;
        std::string error;
        ASSERT_TRUE(ParseCpuQuery(c.query, q, error)) << c.query;
        const json page = json::parse(CpuPageJson(s, q));
        std::vector<int64_t> got;
        for (const json &row : page.at("cpus")) got.push_back(row.at("cpu").get<int64_t>());
        EXPECT_EQ(got, c.cpus) << c.query << ": " << page.dump();
        EXPECT_EQ(page.at("total"), c.total) << c.query;
        EXPECT_EQ(page.at("offset"), c.offset) << c.query;
        EXPECT_EQ(page.at("generation"), 9) << c.query;
    }
    // A row is the document's row.
    TestTable t;
    OneJobTwoCpus(t);
    const WebSnapshot two = Snapshot(t, history);
    const json page = json::parse(CpuPageJson(two, CpuQuery()));
    EXPECT_EQ(page.at("cpus"), json::parse(StatusJson(two)).at("cpus"));
}

TEST(SummaryJson, AnHourOfHistoryIsThinnedAndTwentyJobsStayUnder64KiB) {
    WebSnapshot s;
    for (uint32_t j = 1; j <= 20; ++j) {
        WebJob job;
        job.number = j;
        job.id = "00000000000000" + std::to_string(10 + j);
        job.sceneName = "Farm-" + std::to_string(j);
        for (int64_t t = 0; t < 3600; t += 5) job.history.push_back({kNowUnix - 3600 + 1 + t, 1000000 - static_cast<uint64_t>(t)});
        s.jobs.push_back(job);
    }
    const std::string summary = SummaryJson(s);
    EXPECT_LT(summary.size(), 64u * 1024u);
    const json doc = json::parse(summary);
    const json whole = json::parse(StatusJson(s));
    ASSERT_EQ(whole["jobs"][0]["history"].size(), 720u) << "/status.json keeps every point";
    const json &line = doc["jobs"][0]["history"];
    const json &all = whole["jobs"][0]["history"];
    EXPECT_LE(line.size(), 62u);
    EXPECT_EQ(line.front(), all.front());
    EXPECT_EQ(line.back(), all.back()) << "the newest point is always there";
    for (size_t i = 1; i + 1 < line.size(); ++i) {
        const int64_t t = line[i][0].get<int64_t>();
        EXPECT_NE(t / kSummaryHistorySeconds, line[i - 1][0].get<int64_t>() / kSummaryHistorySeconds) << "one point per step";
        EXPECT_TRUE(std::find(all.begin(), all.end(), line[i]) != all.end()) << line[i].dump();
    }
}

}  // namespace
