// Benchmark of the client table's per-event work: storing one message, the prune scan, and a full sort for comparison.
#include "client_table.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int kJobs = 10;

StatusRecord Report(int cpu, int job) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof r.signature);
    r.cpuIndex = cpu;
    std::snprintf(r.sceneName, sizeof r.sceneName, "Scene %d", job);
    r.passesDone = 10;
    r.totalPasses = 1000;
    r.recentPassTime = 300000000;
    return r;
}

// A sorted table of n reporting CPUs over kJobs jobs; sockets from makeSocket.
template <class MakeSocket>
void Fill(ClientTable &table, int n, MakeSocket makeSocket) {
    table.entries = static_cast<ClientEntry *>(std::calloc(static_cast<size_t>(n), sizeof(ClientEntry)));
    table.capacity = table.count = static_cast<uint32_t>(n);
    for (int i = 0; i < n; ++i) {
        ClientEntry &e = table.entries[i];
        e.record = Report(i, i * kJobs / n);
        e.record.hasData = 1;
        e.record.socket = makeSocket(i);
        e.acceptSeq = static_cast<uint64_t>(i);
    }
    table.nextSeq = static_cast<uint64_t>(n);
    SortClients(table);
}

const uint8_t *g_message = nullptr;
long MessageRecv(NetSocket, void *data, size_t size) {
    size_t n = size < kMessageLength ? size : kMessageLength;
    std::memcpy(data, g_message, n);
    return static_cast<long>(n);
}
void NoClose(NetSocket) {}

// One whole message from the first CPU of job 0 that moves it to the far end
// of the table and back: the placement's worst case, plus decode and lookup.
void BM_MessageIntoTable(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    ClientTable table{};
    Fill(table, n, [](int i) { return static_cast<NetSocket>(100000 + i); });
    const NetSocket s = table.entries[0].record.socket;
    uint8_t there[kMessageLength], back[kMessageLength];
    StatusRecord last = Report(0, 0);
    std::strcpy(last.sceneName, "~ after every job");
    EncodeRecord(last, kFieldTable, there);
    EncodeRecord(Report(0, 0), kFieldTable, back);
    netCalls.recv = MessageRecv;
    netCalls.close = NoClose;
    ServerHost host{};
    bool far = false;
    for (auto _ : state) {
        far = !far;
        g_message = far ? there : back;
        ReadClient(table, host, s);
    }
    ReleaseClients(table);
    netCalls = kDefaultNetCalls;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageIntoTable)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// The prune that follows every event: one pending-error query per connection.
void BM_PruneScan(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    if (!NetStartup()) {
        state.SkipWithError("no network layer");
        return;
    }
    ClientTable table{};
    bool ok = true;
    Fill(table, n, [&](int) {
        NetSocket s = NetOpenTcp();
        ok = ok && s != kNoNetSocket;
        return s;
    });
    ServerHost host{};
    if (ok) {
        for (auto _ : state) PruneClients(table, host);
        if (table.count != static_cast<uint32_t>(n)) state.SkipWithError("prune removed a client");
    } else {
        state.SkipWithError("not enough descriptors for this many sockets");
    }
    ReleaseClients(table);
    NetCleanup();
}
BENCHMARK(BM_PruneScan)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// What a full sort of the table would cost instead of placing the one changed record.
void BM_FullSort(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    ClientTable table{};
    Fill(table, n, [](int i) { return static_cast<NetSocket>(100000 + i); });
    std::vector<ClientEntry> scrambled(table.entries, table.entries + n);
    for (size_t i = 0; i + 1 < scrambled.size(); i += 2) std::swap(scrambled[i], scrambled[i + 1]);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(table.entries, scrambled.data(), scrambled.size() * sizeof(ClientEntry));
        state.ResumeTiming();
        SortClients(table);
    }
    netCalls.close = NoClose;
    ReleaseClients(table);
    netCalls = kDefaultNetCalls;
}
BENCHMARK(BM_FullSort)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
