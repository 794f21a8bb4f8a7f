// Benchmark of RefreshStatus: report time for 10 to 10,000 CPUs in 1, 10 and 100 jobs, HTML output on.
#include "clock.h"
#include "report.h"
#include "settings.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A sorted table of cpus CPUs spread evenly over jobs jobs, mid-render.
std::vector<ClientEntry> MakeTable(int cpus, int jobs) {
    std::vector<ClientEntry> entries(static_cast<size_t>(cpus));
    const uint64_t now = NowFileTime();
    for (int i = 0; i < cpus; ++i) {
        ClientEntry &e = entries[static_cast<size_t>(i)];
        std::memset(&e, 0, sizeof e);
        e.receivedAt = MonotonicNanos();  // every CPU reporting: none stalled
        StatusRecord &r = e.record;
        const int job = i * jobs / cpus;
        std::memcpy(r.signature, RecordSignature, sizeof r.signature);
        r.hasData = 1;
        r.socket = i + 10;
        r.cpuIndex = i;
        std::snprintf(r.sceneName, sizeof r.sceneName, "Scene");
        std::snprintf(r.sceneFile, sizeof r.sceneFile, "C:\\scenes\\scene.lws");
        r.sceneFileSize = 1000000 + static_cast<uint64_t>(job);  // first byte differs: sorted by job
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

void BM_RefreshStatus(benchmark::State &state) {
    const int cpus = static_cast<int>(state.range(0)), jobs = static_cast<int>(state.range(1));
    std::vector<ClientEntry> entries = MakeTable(cpus, jobs);
    ClientTable table{};
    table.count = static_cast<uint32_t>(entries.size());
    table.entries = entries.data();
    const std::string path = "/tmp/pellick-report-bench-" + std::to_string(getpid()) + ".htm";
    ServerSettings settings;
    settings.htmlOutput = 1;
    std::snprintf(settings.htmlPath, sizeof settings.htmlPath, "%s", path.c_str());
    StatusReport report;
    for (auto _ : state) {
        RefreshStatus(table, settings, report);
        benchmark::DoNotOptimize(report.fields.text[0][0]);
    }
    state.SetItemsProcessed(state.iterations() * cpus);
    std::remove(path.c_str());
}

void Sizes(benchmark::internal::Benchmark *b) {
    for (int cpus : {10, 100, 1000, 10000}) {
        for (int jobs : {1, 10, 100}) {
            if (jobs <= cpus) b->Args({cpus, jobs});
        }
    }
}

}  // namespace

BENCHMARK(BM_RefreshStatus)->Apply(Sizes)->ArgNames({"cpus", "jobs"})->Unit(benchmark::kMicrosecond);
