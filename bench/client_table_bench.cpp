// Benchmark of the client table driven by scripted socket events without sockets: a farm's arrival in random order, one message per CPU, a mass close and a refresh at 1,000 to 100,000 CPUs, plus single operations.
#include "client_table.h"
#include "report.h"
#include "settings.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <time.h>
#include <utility>
#include <vector>

namespace {

constexpr int kJobs = 10;
// Events handed over per end of a batch: what one epoll wake-up gives at most.
// pellicksrv ends batches less often under load (every 20 ms at most), so
// this is the dearest spacing.
constexpr int kEventsPerBatch = 256;
constexpr NetSocket kListener = 0x3FFFFFF1;
constexpr NetSocket kFirstFake = 1000;

StatusRecord Report(int cpu, int job, uint32_t passes) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof r.signature);
    r.cpuIndex = cpu;
    std::snprintf(r.sceneName, sizeof r.sceneName, "Scene %d", job);
    r.passesDone = passes;
    r.totalPasses = 1000;
    r.recentPassTime = 300000000;
    return r;
}

// What the fake network holds for one connection.
struct Conn {
    NetSocket socket = kNoNetSocket;
    const uint8_t *message = nullptr;  // handed over by the next receive
    bool closed = false;               // after the message: the peer has closed
};

// A farm of n CPUs over kJobs jobs (consecutive CPUs per job); connection k
// reports CPU cpuOf[k], a random permutation, so reports land anywhere in the order.
struct Farm {
    explicit Farm(int n, std::vector<NetSocket> sockets = {}) : n(n), cpuOf(static_cast<size_t>(n)) {
        std::mt19937 rng(20261210);
        std::iota(cpuOf.begin(), cpuOf.end(), 0);
        std::shuffle(cpuOf.begin(), cpuOf.end(), rng);
        if (sockets.empty())
            for (int k = 0; k < n; ++k) sockets.push_back(kFirstFake + k);
        conns.resize(static_cast<size_t>(n));
        NetSocket top = 0;
        for (int k = 0; k < n; ++k) {
            conns[static_cast<size_t>(k)].socket = sockets[static_cast<size_t>(k)];
            top = std::max(top, sockets[static_cast<size_t>(k)]);
        }
        connOf.assign(static_cast<size_t>(top) + 1, -1);
        for (int k = 0; k < n; ++k) connOf[static_cast<size_t>(conns[static_cast<size_t>(k)].socket)] = k;
        first.resize(static_cast<size_t>(n) * kMessageLength);
        next.resize(first.size());
        for (int k = 0; k < n; ++k) {
            const int cpu = cpuOf[static_cast<size_t>(k)];
            EncodeRecord(Report(cpu, cpu * kJobs / n, 10), kFieldTable,
                         std::span<uint8_t>(first.data() + size_t(k) * kMessageLength, kMessageLength));
            EncodeRecord(Report(cpu, cpu * kJobs / n, 11), kFieldTable,
                         std::span<uint8_t>(next.data() + size_t(k) * kMessageLength, kMessageLength));
        }
        shuffled.resize(static_cast<size_t>(n));
        std::iota(shuffled.begin(), shuffled.end(), 0);
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
    }

    // After CloseAll: the same CPUs can connect again (into the slots they left).
    void Reconnectable() {
        for (Conn &c : conns) c = Conn{c.socket, nullptr, false};
        accepted = 0;
    }

    void Event(NetSocket s, SocketEvent code) {
        ServerSocketEvent(table, host, s, code);
        if (++sinceBatch == kEventsPerBatch) EndBatch();
    }
    void EndBatch() {
        FinishSocketEvents(table, host);
        sinceBatch = 0;
    }
    // Every connection is accepted, then the first reports come in random order.
    void Arrive() {
        for (accepted = 0; accepted < n;) Event(kListener, SocketEvent::Accept);
        for (int k : shuffled) {
            conns[static_cast<size_t>(k)].message = first.data() + size_t(k) * kMessageLength;
            Event(conns[static_cast<size_t>(k)].socket, SocketEvent::Read);
        }
        EndBatch();
    }
    // One more message from every CPU, in random order: each record stays where it is.
    void MessageEach() {
        for (int k : shuffled) {
            conns[static_cast<size_t>(k)].message = next.data() + size_t(k) * kMessageLength;
            Event(conns[static_cast<size_t>(k)].socket, SocketEvent::Read);
        }
        EndBatch();
    }
    // Every peer closes at once (a job ends, a switch fails); the close notifications come in random order.
    void CloseAll() {
        for (int k : shuffled) {
            conns[static_cast<size_t>(k)].closed = true;
            Event(conns[static_cast<size_t>(k)].socket, SocketEvent::Close);
        }
        EndBatch();
    }

    int n;
    std::vector<int> cpuOf, shuffled, connOf;
    std::vector<Conn> conns;
    std::vector<uint8_t> first, next;
    ClientTable table{};
    ServerHost host{};
    int sinceBatch = 0;
    int accepted = 0;
};
Farm *g_farm = nullptr;

NetSocket FarmAccept(NetSocket, NetPeer *) {
    if (g_farm->accepted >= g_farm->n) return kNoNetSocket;
    return g_farm->conns[static_cast<size_t>(g_farm->accepted++)].socket;
}
long FarmRecv(NetSocket s, void *data, size_t size) {
    Conn &c = g_farm->conns[static_cast<size_t>(g_farm->connOf[static_cast<size_t>(s)])];
    if (c.message) {
        const size_t n = std::min<size_t>(size, kMessageLength);
        std::memcpy(data, c.message, n);
        c.message = nullptr;
        return static_cast<long>(n);
    }
    return c.closed ? 0 : kNetWouldBlock;
}
void NoClose(NetSocket) {}
int NoError(NetSocket, int *error) {
    *error = 0;
    return 1;
}

// Puts the farm's fake network in place for a scope; realErrors keeps the
// real pending-error query (for a farm of real sockets).
struct FakeNetwork {
    explicit FakeNetwork(Farm &farm, bool realErrors = false) {
        g_farm = &farm;
        netCalls.accept = FarmAccept;
        netCalls.recv = FarmRecv;
        netCalls.close = NoClose;
        if (!realErrors) netCalls.pendingError = NoError;
    }
    ~FakeNetwork() {
        netCalls = kDefaultNetCalls;
        g_farm = nullptr;
    }
};

// CPU seconds of this thread: the machine is shared, so wall time would
// count other programs' turns.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs one phase per iteration on a fresh farm: prepare (not timed), then the
// phase (timed in CPU time), reported per CPU.
template <class Prepare, class Phase>
void RunPhase(benchmark::State &state, Prepare prepare, Phase phase) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Farm farm(n);
        FakeNetwork network(farm);
        prepare(farm);
        const double start = ThreadSeconds();
        phase(farm);
        state.SetIterationTime(ThreadSeconds() - start);
        if (farm.table.count != static_cast<uint32_t>(farm.accepted) && farm.table.count != 0)
            state.SkipWithError("the table lost clients");
        ReleaseClients(farm.table);
    }
    state.counters["per_cpu"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                                           benchmark::Counter::kInvert);
}

void Nothing(Farm &) {}

// Accepts and first reports in random order, with the ends of batches between.
void BM_Arrival(benchmark::State &state) {
    RunPhase(state, Nothing, [](Farm &f) { f.Arrive(); });
}
// The same after a mass close: the slots are held already, so this leaves out
// the kernel's first touch of their pages (about half of the above here).
void BM_Rearrival(benchmark::State &state) {
    RunPhase(state, [](Farm &f) {
        f.Arrive();
        f.CloseAll();
        f.Reconnectable();
    }, [](Farm &f) { f.Arrive(); });
}
// One message from every CPU of a full table.
void BM_OneMessageEach(benchmark::State &state) {
    RunPhase(state, [](Farm &f) { f.Arrive(); }, [](Farm &f) { f.MessageEach(); });
}
// Every connection closes at once.
void BM_MassClose(benchmark::State &state) {
    RunPhase(state, [](Farm &f) { f.Arrive(); }, [](Farm &f) {
        f.CloseAll();
        if (f.table.count != 0) std::abort();
    });
}
// The one refresh after the arrival: the report (fields and HTML) of the whole table.
void BM_Refresh(benchmark::State &state) {
    RunPhase(state, [](Farm &f) { f.Arrive(); }, [](Farm &f) {
        StatusReport report;
        BuildReport(f.table, 134411800390000000ULL, DisplayForm{kDefaultMaxScale, kDefaultResolution}, report);
        benchmark::DoNotOptimize(report.html.data());
    });
}
#define FARM_SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Arrival) FARM_SIZES;
BENCHMARK(BM_Rearrival) FARM_SIZES;
BENCHMARK(BM_OneMessageEach) FARM_SIZES;
BENCHMARK(BM_MassClose) FARM_SIZES;
BENCHMARK(BM_Refresh) FARM_SIZES;

// One whole message from the first CPU of job 0 that moves it to the far end
// of the table and back: the placement's worst case, plus decode and lookup.
void BM_MessageIntoTable(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    Farm farm(n);
    FakeNetwork network(farm);
    farm.Arrive();
    const size_t k = static_cast<size_t>(std::find(farm.cpuOf.begin(), farm.cpuOf.end(), 0) - farm.cpuOf.begin());
    const NetSocket s = farm.conns[k].socket;
    uint8_t there[kMessageLength], back[kMessageLength];
    StatusRecord last = Report(0, 0, 10);
    std::strcpy(last.sceneName, "~ after every job");
    EncodeRecord(last, kFieldTable, there);
    EncodeRecord(Report(0, 0, 10), kFieldTable, back);
    bool far = false;
    for (auto _ : state) {
        far = !far;
        farm.conns[k].message = far ? there : back;
        ReadClient(farm.table, farm.host, s);
    }
    ReleaseClients(farm.table);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageIntoTable)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000);

// The whole-table prune (any unknown event code): one pending-error query per connection, real sockets.
void BM_PruneScan(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    if (!NetStartup()) {
        state.SkipWithError("no network layer");
        return;
    }
    std::vector<NetSocket> sockets;
    for (int i = 0; i < n; ++i) {
        NetSocket s = NetOpenTcp();
        if (s == kNoNetSocket) break;
        sockets.push_back(s);
    }
    if (sockets.size() == static_cast<size_t>(n)) {
        Farm farm(n, sockets);
        FakeNetwork network(farm, true);
        farm.Arrive();
        for (auto _ : state) PruneClients(farm.table, farm.host);
        if (farm.table.count != static_cast<uint32_t>(n)) state.SkipWithError("prune removed a client");
        ReleaseClients(farm.table);
    } else {
        state.SkipWithError("not enough descriptors for this many sockets");
    }
    for (NetSocket s : sockets) NetClose(s);
    NetCleanup();
}
BENCHMARK(BM_PruneScan)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// What a full sort of a table's records costs, for comparison with placing the one changed record.
void BM_FullSort(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<ClientEntry> sorted(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        sorted[static_cast<size_t>(i)].record = Report(i, i * kJobs / n, 10);
        sorted[static_cast<size_t>(i)].record.hasData = 1;
    }
    std::vector<ClientEntry> scrambled = sorted, work;
    for (size_t i = 0; i + 1 < scrambled.size(); i += 2) std::swap(scrambled[i], scrambled[i + 1]);
    ClientTable table{};
    for (auto _ : state) {
        state.PauseTiming();
        work = scrambled;
        table.entries = work.data();
        table.count = static_cast<uint32_t>(work.size());
        state.ResumeTiming();
        SortClients(table);
    }
}
BENCHMARK(BM_FullSort)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
