// Tests of the load generator's pieces: its synthetic records as the server reports them, the report row and /status.json readers, and percentiles.
#include "client_table.h"
#include "load.h"
#include "report.h"
#include "snapshot.h"
#include "status_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The rows loadgen reads back are the rows pellicksrv writes for its synthetic CPUs.
TEST(LoadgenTest, ReportRowsOfSyntheticCpusReadBack) {
    const uint64_t start = 133000000000000000ULL;
    struct Cpu {
        uint32_t cpu, job, passes;
    };
    const std::vector<Cpu> cpus = {{0, 0, 3}, {1, 0, 12}, {2, 1, 0}, {3, 1, 2000000000u}, {9, 2, 7}};
    std::vector<ClientEntry> entries(cpus.size() + 1);  // the last one a connection without data
    for (size_t i = 0; i < cpus.size(); ++i) {
        StatusRecord r = SyntheticRecord(cpus[i].cpu, cpus[i].job, cpus[i].passes, 0.5, start, start + 1000000000);
        // What the server stores is what travels.
        uint8_t wire[kMessageLength];
        ASSERT_EQ(EncodeRecord(r, kFieldTable, wire), kMessageLength);
        StatusRecord got{};
        ASSERT_EQ(DecodeRecord(wire, kFieldTable, got), kMessageLength);
        ASSERT_TRUE(HasRecordSignature(got));
        got.hasData = 1;
        got.socket = static_cast<NetSocket>(100 + i);
        entries[i].record = got;
    }
    entries.back().record.socket = 99;
    ClientTable table{};
    table.entries = entries.data();
    table.count = table.capacity = static_cast<uint32_t>(entries.size());
    SortClients(table);

    StatusReport report;
    BuildReport(table, start + 2000000000, {3, 4}, report);
    const std::string &html = report.html;

    // The dashboard's /status.json of the same refresh lists the same CPUs (those with data).
    JobHistory history;
    WebSnapshot snapshot;
    BuildSnapshot(table, report, ServerSettings(), history, snapshot);
    std::vector<ReportRow> listed = ParseStatusCpus(StatusJson(snapshot));
    ASSERT_EQ(listed.size(), cpus.size());
    for (size_t i = 0; i < cpus.size(); ++i) {
        EXPECT_EQ(listed[i].cpu, cpus[i].cpu + 1) << "JSON cpu " << i;
        EXPECT_EQ(listed[i].passes, cpus[i].passes) << "JSON cpu " << i;
    }

    std::vector<ReportRow> rows = ParseReportRows(html);
    ASSERT_EQ(rows.size(), cpus.size() + 1) << html;
    for (size_t i = 0; i < cpus.size(); ++i) {
        EXPECT_EQ(rows[i].cpu, cpus[i].cpu + 1) << "row " << i;
        EXPECT_EQ(rows[i].passes, cpus[i].passes) << "row " << i;
    }
    EXPECT_EQ(rows.back().cpu, 0u) << "the connection without data shows as CPU 0, which loadgen skips";
    EXPECT_NE(html.find("Job 3 Stats"), std::string::npos) << "three jobs";
    EXPECT_EQ(html.find("Job 4 Stats"), std::string::npos);
}

TEST(LoadgenTest, RowReaderSkipsWhatIsNotACpuRow) {
    struct Case {
        const char *html;
        std::vector<uint32_t> cpuPasses;  // cpu, passes, cpu, passes, ...
    };
    const Case cases[] = {
        {"<tr><td>4</td><td>1</td><td>2</td><td>9</td><td>x</td></tr>", {4, 9}},
        {"<tr><td>CPU</td><td>Job</td><td>On Frame</td><td>Total Passes</td></tr>", {}},
        {"<tr><td>CPUs</td><td>5</td></tr>", {}},
        {"<tr><td>0</td><td>0</td><td>0</td><td>0</td><td>-</td></tr>", {0, 0}},
        {"<tr><td>3</td><td>1</td><td>-2</td><td>5</td></tr>", {}},  // negative frame
        {"<tr><td>3</td><td>1</td><td>2</td>", {}},                 // cut short
        {"<tr><td>3</td><td>1</td><td>2</td><td>", {}},
        {"<tr><td>99999999999</td><td>1</td><td>2</td><td>5</td></tr>", {}},  // too large
        {"<tr><td>1</td><td>1</td><td>1</td><td>1</td><tr><td>2</td><td>1</td><td>1</td><td>8", {1, 1, 2, 8}},
        {"", {}},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> got;
        for (const ReportRow &r : ParseReportRows(c.html)) {
            got.push_back(r.cpu);
            got.push_back(r.passes);
        }
        EXPECT_EQ(got, c.cpuPasses) << c.html;
    }
}

TEST(LoadgenTest, StatusReaderTakesCpuObjectsOnly) {
    struct Case {
        const char *json;
        std::vector<uint32_t> cpuPasses;
    };
    const Case cases[] = {
        {R"({"cpus":[{"cpu":3,"frame":1,"passes":9},{"cpu":4,"passes":0}]})", {3, 9, 4, 0}},
        {R"({"jobs":[{"cpus":2,"cpu":7,"passes":1}],"cpus":[]})", {}},  // before the list: a job's counts
        {R"({"cpus":[{"cpu":3,"frame":1},{"cpu":4,"passes":5}]})", {4, 5}},  // passes of another object
        {R"({"cpus":[{"cpu":-1,"passes":2},{"cpu":2,"passes":99999999999}]})", {}},
        {R"({"cpus":[{"cpu":1,"passes":)", {}},
        {"", {}},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> got;
        for (const ReportRow &r : ParseStatusCpus(c.json)) {
            got.push_back(r.cpu);
            got.push_back(r.passes);
        }
        EXPECT_EQ(got, c.cpuPasses) << c.json;
    }
}

TEST(LoadgenTest, PercentileIsTheNearestRank) {
    std::vector<double> hundred(100);
    for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<double>(i + 1);
    struct Case {
        std::vector<double> sorted;
        double q, want;
    };
    const Case cases[] = {
        {{}, 0.99, 0}, {{7}, 0.5, 7}, {{7}, 0.99, 7}, {{1, 2}, 0.5, 1}, {{1, 2}, 0.51, 2},
        {hundred, 0.99, 99}, {hundred, 0.5, 50}, {hundred, 1.0, 100}, {hundred, 0.0, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Percentile(c.sorted, c.q), c.want) << "q " << c.q << " of " << c.sorted.size() << " values";
}

}  // namespace
