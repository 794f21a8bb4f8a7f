// Benchmark of the dashboard's share of a refresh (building the snapshot) and of the JSON an HTTP thread makes from it (document, live summary, a CPU page), 10 to 10,000 CPUs.
#include "clock.h"
#include "doc_queries.h"
#include "cpu_page.h"
#include "report.h"
#include "snapshot.h"
#include "status_json.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A sorted table of cpus CPUs in jobs jobs, mid-render.
std::vector<ClientEntry> MakeTable(int cpus, int jobs, uint64_t now) {
    std::vector<ClientEntry> entries(static_cast<size_t>(cpus));
    for (int i = 0; i < cpus; ++i) {
        ClientEntry &e = entries[static_cast<size_t>(i)];
        std::memset(&e, 0, sizeof e);
        StatusRecord &r = e.record;
        const int job = i * jobs / cpus;
        std::memcpy(r.signature, RecordSignature, sizeof r.signature);
        r.hasData = 1;
        r.cpuIndex = i;
        std::snprintf(r.sceneName, sizeof r.sceneName, "Scene");
        std::snprintf(r.sceneFile, sizeof r.sceneFile, "C:\\scenes\\scene.lws");
        r.sceneFileSize = 1000000 + static_cast<uint64_t>(job);
        r.startTime = now - 3600 * kTicksPerSecond;
        r.passesDone = 100 + static_cast<uint32_t>(i % 7);
        r.totalPasses = 1000;
        r.passesPerFrame = 5;
        r.recentPassTime = (30 + i % 11) * static_cast<int64_t>(kTicksPerSecond);
        r.lastPassTime = r.recentPassTime;
        r.elapsedTime = 3500 * static_cast<int64_t>(kTicksPerSecond);
        r.passStartTime = r.startTime + static_cast<uint64_t>(r.elapsedTime - r.lastPassTime);
        r.currentFrame = 20;
    }
    return entries;
}

struct Farm {
    std::vector<ClientEntry> entries;
    ClientTable table{};
    ServerSettings settings;
    StatusReport report;
    Farm(int cpus, int jobs) : entries(MakeTable(cpus, jobs, NowFileTime())) {
        table.count = static_cast<uint32_t>(entries.size());
        table.entries = entries.data();
        BuildReport(table, NowFileTime(), settings.Form(), report);
    }
};

// What a refresh adds when the dashboard is on, beyond the report itself.
void BM_BuildSnapshot(benchmark::State &state) {
    Farm farm(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JobHistory history;
    for (auto _ : state) {
        WebSnapshot s;
        BuildSnapshot(farm.table, farm.report, farm.settings, history, s);
        benchmark::DoNotOptimize(s.cpus.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The JSON of one snapshot, made once per snapshot by the first HTTP thread that asks.
void BM_StatusJson(benchmark::State &state) {
    Farm farm(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JobHistory history;
    WebSnapshot s;
    BuildSnapshot(farm.table, farm.report, farm.settings, history, s);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string json = StatusJson(s);
        bytes = json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.counters["json_bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The live stream's summary: bounded by the jobs, whatever the CPUs.
void BM_SummaryJson(benchmark::State &state) {
    Farm farm(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JobHistory history;
    WebSnapshot s;
    BuildSnapshot(farm.table, farm.report, farm.settings, history, s);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string json = SummaryJson(s);
        bytes = json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.counters["json_bytes"] = static_cast<double>(bytes);
}

// One page of 100 rows of the last job's CPUs by CPU number, highest first: the costliest query.
void BM_CpuPage(benchmark::State &state) {
    Farm farm(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JobHistory history;
    WebSnapshot s;
    BuildSnapshot(farm.table, farm.report, farm.settings, history, s);
    CpuQuery q;
    std::string error;
    ParseCpuQuery("sort=-cpu&offset=100&limit=100&job=" + std::to_string(s.jobs.size()), q, error);
    for (auto _ : state) {
        const std::string json = CpuPageJson(s, q);
        benchmark::DoNotOptimize(json.data());
    }
}

void Sizes(benchmark::internal::Benchmark *b) {
    for (int cpus : {10, 100, 1000, 10000}) b->Args({cpus, cpus >= 10 ? 10 : 1});
}

}  // namespace

BENCHMARK(BM_BuildSnapshot)->Apply(Sizes)->ArgNames({"cpus", "jobs"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusJson)->Apply(Sizes)->ArgNames({"cpus", "jobs"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SummaryJson)->Apply(Sizes)->ArgNames({"cpus", "jobs"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CpuPage)->Apply(Sizes)->ArgNames({"cpus", "jobs"})->Unit(benchmark::kMicrosecond);
