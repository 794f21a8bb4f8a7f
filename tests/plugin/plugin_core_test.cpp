// Tests of the plug-in's objects linked in directly: pure pass arithmetic, and the sender under injected network faults and stalls.
#include "clock.h"
#include "fake_host.h"
#include "message_collector.h"
#include "net.h"
#include "plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" HostModuleDescriptor _mod_descrip;

namespace {

// --- Pure arithmetic ---

TEST(PassArithmetic, SmoothedPassTime) {
    struct Case {
        int64_t recent, last;
        uint32_t passesPerFrame;
        int64_t expected;
    };
    const Case cases[] = {
        {1000, 2000, 2, 1100},            // (9 x 1000 + 2000) / 10
        {0, 2000, 2, 2000},               // a zero restarts from the last pass
        {1000, 1000, 1, 1000},
        {1000, 6000, 1, 2000},            // (4 x 1000 + 6000) / 5
        {1000, -9000, 1, -1000},          // a clock that went back: signed
        {1000, -4001, 1, 0},              // -1 / 5 truncates toward zero
        {7, 0, 3, 6},                     // (14 x 7) / 15
    };
    for (const Case &c : cases)
        EXPECT_EQ(SmoothPassTime(c.recent, c.last, c.passesPerFrame), c.expected)
            << "recent " << c.recent << ", last " << c.last << ", n " << c.passesPerFrame;
}

TEST(PassArithmetic, CountUpdatesTheTimes) {
    StatusRecord r{};
    r.firstRenderedFrame = -1;
    r.startTime = 1000000;
    r.passStartTime = r.startTime;
    r.currentFrame = 10;
    ApplyPassCount(r, 1000700, 1, 100, 1);
    EXPECT_EQ(r.passesDone, 1u);
    EXPECT_EQ(r.elapsedTime, 700);
    EXPECT_EQ(r.lastPassTime, 700);
    EXPECT_EQ(r.averagePassTime, 700);
    EXPECT_EQ(r.averageFrameTime, 700);
    EXPECT_EQ(r.recentPassTime, 700);

    r.passStartTime = 1000700;
    ApplyPassCount(r, 1000900, 1, 100, 1);  // second pass of frame 10: n becomes 2
    EXPECT_EQ(r.passesPerFrame, 2u);
    EXPECT_EQ(r.lastPassTime, 200);
    EXPECT_EQ(r.averagePassTime, 450);
    EXPECT_EQ(r.averageFrameTime, 900);
    EXPECT_EQ(r.recentPassTime, (9 * 700 + 200) / 10);

    // A clock that went backwards gives negative durations, truncated toward zero.
    r.passStartTime = 1000900;
    ApplyPassCount(r, 999990, 1, 100, 1);
    EXPECT_EQ(r.elapsedTime, -10);
    EXPECT_EQ(r.lastPassTime, -910);
    EXPECT_EQ(r.averagePassTime, -3);
    EXPECT_EQ(r.averageFrameTime, -9);
}

TEST(PassArithmetic, TotalPassesWrapsLikeTheHost) {
    struct Case {
        int32_t first, last, step;
        uint32_t expected;
    };
    const Case cases[] = {
        {1, 100, 1, 100},
        {1, 100, 0, 100},                           // a step of 0 counts as 1
        {1, 100, 7, 14},                            // truncated
        {100, 1, 1, 0xFFFFFF9Eu},                   // backwards range wraps
        {INT32_MIN, INT32_MAX, 1, 0},               // 2^32 frames wrap to 0
        {1, 100, -1, 0},                            // unsigned division by 0xFFFFFFFF
    };
    for (const Case &c : cases) {
        StatusRecord r{};
        r.firstRenderedFrame = -1;
        r.currentFrame = 5;
        ApplyPassCount(r, 10, c.first, c.last, c.step);
        EXPECT_EQ(r.totalPasses, c.expected) << c.first << " to " << c.last << " step " << c.step;
    }
}

TEST(PassArithmetic, SceneRealText) {
    struct Case {
        double value;
        const char *expected;
    };
    const Case cases[] = {
        {123456789.5, "123456789.5000000000"},
        {1234567890.5, "1234567890.500000000"},
        {0.25, "0.2500000000"},
        {-1.5, "-1.5000000000"},
        {0.0, "0.0000000000"},
        {1e300, "10000000000000000525"},
    };
    for (const Case &c : cases) {
        char out[kSceneRealText];
        std::memset(out, 'x', sizeof out);
        FormatSceneReal(c.value, out);
        EXPECT_EQ(std::string(out, strnlen(out, sizeof out)), c.expected) << c.value;
        EXPECT_EQ(out[kSceneRealText - 1], '\0');
        for (size_t i = std::strlen(c.expected); i < sizeof out; ++i) EXPECT_EQ(out[i], '\0') << c.value << " byte " << i;
    }
}

// --- The sender under injected faults ---

// Replacement network calls: counting, a gate that holds connects, and scripted send results.
struct Hooks {
    std::mutex mutex;
    std::condition_variable changed;
    bool gateClosed = false;
    int connectsWaiting = 0;
    int connects = 0;
    int lastTimeout = 0;
    enum class Send { Normal, ShortOnce, WouldBlockOnce } send = Send::Normal;
    int sends = 0;
};
Hooks *hooks;

int HookConnect(NetSocket s, uint32_t addr, uint16_t port, int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(hooks->mutex);
        ++hooks->connects;
        hooks->lastTimeout = timeoutMs;
        ++hooks->connectsWaiting;
        hooks->changed.notify_all();
        hooks->changed.wait(lock, [] { return !hooks->gateClosed; });
        --hooks->connectsWaiting;
    }
    return kDefaultNetCalls.connect(s, addr, port, timeoutMs);
}

long HookSend(NetSocket s, const void *data, size_t size) {
    Hooks::Send mode;
    {
        std::lock_guard<std::mutex> lock(hooks->mutex);
        ++hooks->sends;
        mode = hooks->send;
        hooks->send = Hooks::Send::Normal;
    }
    if (mode == Hooks::Send::WouldBlockOnce) return kNetWouldBlock;
    if (mode == Hooks::Send::ShortOnce) return kDefaultNetCalls.send(s, data, 100 < size ? 100 : size);
    return kDefaultNetCalls.send(s, data, size);
}

// Server names that start with a digit are read as Windows' inet_addr reads
// them, on both platforms, and never looked up.
TEST(ServerAddress, DottedFormsReadAlikeEverywhere) {
    struct Case {
        const char *name;
        bool ok;
        uint8_t a, b, c, d;
    };
    const Case cases[] = {
        {"127.0.0.1", true, 127, 0, 0, 1},   {"127.1", true, 127, 0, 0, 1},     {"10.0.0.010", true, 10, 0, 0, 8},
        {"0x7f.1", true, 127, 0, 0, 1},      {"10.1.300", true, 10, 1, 1, 44},  {"2130706433", true, 127, 0, 0, 1},
        {"0X0A.0.0.0x1F", true, 10, 0, 0, 31}, {"1.2.3.4.5", false, 0, 0, 0, 0}, {"256.1.1.1", false, 0, 0, 0, 0},
        {"3dhost", false, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        uint32_t address = 0;
        const int ok = NetResolveIPv4(c.name, &address);
        EXPECT_EQ(ok, c.ok ? 1 : 0) << c.name;
        if (!ok || !c.ok) continue;
        uint8_t bytes[4];
        std::memcpy(bytes, &address, 4);  // network order: first part first
        EXPECT_EQ((std::vector<int>{bytes[0], bytes[1], bytes[2], bytes[3]}), (std::vector<int>{c.a, c.b, c.c, c.d}))
            << c.name;
    }
}

// The tests' plug-in takes its port and quiet time-out by the tools' rule: a bad
// port reaches no server rather than the real one, a bad time-out keeps the plug-in's own.
TEST(TestTuning, VariablesReadByTheToolsRule) {
    struct Case {
        const char *port, *quietMs;
        uint16_t wantPort;
        uint32_t wantQuietMs;
    };
    const Case cases[] = {
        {"", "", STATUS_PORT, kQuietTimeoutMs},
        {"20001", "200", 20001, 200},
        {"65535", "1", 65535, 1},
        {"0", "0", 0, kQuietTimeoutMs},
        {"65536", "15001", 0, kQuietTimeoutMs},
        {"2000x", "-5", 0, kQuietTimeoutMs},
    };
    for (const Case &c : cases) {
        SetTestEnv("PELLICK_TEST_PORT", c.port);
        SetTestEnv("PELLICK_TEST_QUIET_MS", c.quietMs);
        const RunTuning tuning = ReadRunTuning();
        EXPECT_EQ(tuning.port, c.wantPort) << "PELLICK_TEST_PORT=" << c.port;
        EXPECT_EQ(tuning.quietMs, c.wantQuietMs) << "PELLICK_TEST_QUIET_MS=" << c.quietMs;
    }
    SetTestEnv("PELLICK_TEST_PORT", "");
    SetTestEnv("PELLICK_TEST_QUIET_MS", "");
}

class Sender : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetStartup()); }
    static void TearDownTestSuite() { NetCleanup(); }

    void SetUp() override {
        hooks = new Hooks;
        netCalls.connect = HookConnect;
        netCalls.send = HookSend;
        g_host.Reset();
        SetTestEnv("PELLICK_TEST_QUIET_MS", "200");
        server = std::make_unique<MessageCollector>();
        ASSERT_TRUE(server->Listening());
        SetTestEnv("PELLICK_TEST_PORT", std::to_string(server->Port()).c_str());
        plugin.descriptor = &_mod_descrip;
        ASSERT_EQ(plugin.ActivateHandler(), 0);
        plugin.SetServerName("127.0.0.1");
    }
    void TearDown() override {
        OpenGate();
        _mod_descrip.shutdown();
        server.reset();
        netCalls = kDefaultNetCalls;
        delete hooks;
        hooks = nullptr;
    }

    void CloseGate() {
        std::lock_guard<std::mutex> lock(hooks->mutex);
        hooks->gateClosed = true;
    }
    void OpenGate() {
        std::lock_guard<std::mutex> lock(hooks->mutex);
        hooks->gateClosed = false;
        hooks->changed.notify_all();
    }
    // Waits until the sender thread sits in a held connect.
    bool SenderHeldInConnect() {
        std::unique_lock<std::mutex> lock(hooks->mutex);
        return hooks->changed.wait_for(lock, std::chrono::seconds(10), [] { return hooks->connectsWaiting > 0; });
    }
    int Connects() {
        std::lock_guard<std::mutex> lock(hooks->mutex);
        return hooks->connects;
    }

    PluginSlots plugin;
    std::unique_ptr<MessageCollector> server;
};

TEST_F(Sender, ShortOrBlockedSendDropsTheConnection) {
    struct Case {
        const char *what;
        Hooks::Send send;
        size_t bytesOnFirstConnection;
    };
    const Case cases[] = {
        {"short send", Hooks::Send::ShortOnce, 100},
        {"send would block", Hooks::Send::WouldBlockOnce, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server = std::make_unique<MessageCollector>();
        SetTestEnv("PELLICK_TEST_PORT", std::to_string(server->Port()).c_str());
        hooks->send = c.send;
        plugin.RenderStart();  // the first message meets the fault
        ASSERT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs[0].closedByPeer; }, 10000))
            << "the faulty connection was kept";
        plugin.Pass(1);
        CollectedMessage m{};
        ASSERT_TRUE(server->WaitForPasses(1, &m));
        EXPECT_EQ(m.connection, 1) << "the next message did not start a new connection";
        std::vector<CollectedConnection> cs = server->Connections();
        EXPECT_EQ(cs[0].bytesReceived, c.bytesOnFirstConnection);
        EXPECT_EQ(cs[1].trailingBytes, 0u);
        for (const CollectedMessage &each : server->Messages()) EXPECT_TRUE(HasRecordSignature(each.record));
        plugin.RenderEnd();
    }
}

TEST_F(Sender, LatestStateReachesAServerThatAppearsLater) {
    const uint16_t port = server->Port();
    server.reset();
    plugin.RenderStart();
    // One refused attempt per publish; wait for each so the sender is idle afterwards.
    ASSERT_TRUE(PollUntil([&] { return Connects() >= 1; }, 10000));
    for (int32_t pass = 1; pass <= 3; ++pass) {
        plugin.Pass(pass);
        ASSERT_TRUE(PollUntil([&] { return Connects() >= pass + 1; }, 10000)) << "pass " << pass;
    }
    {
        std::lock_guard<std::mutex> lock(hooks->mutex);  // the sender may be retrying meanwhile
        EXPECT_EQ(hooks->lastTimeout, kConnectTimeoutMs);
    }
    server = std::make_unique<MessageCollector>(port);
    ASSERT_TRUE(server->Listening());
    // Only the quiet time-out can bring the next attempt now.
    ASSERT_TRUE(server->WaitFor([](const auto &all) { return !all.empty(); }));
    EXPECT_EQ(server->Messages().front().record.passesDone, 3u);
    plugin.RenderEnd();
}

TEST_F(Sender, StopDuringAConnectionAttemptWaitsForIt) {
    CloseGate();
    plugin.RenderStart();
    ASSERT_TRUE(SenderHeldInConnect());
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        plugin.RenderEnd();
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(stopped) << "the stop returned while the sender was still connecting";
    OpenGate();
    stopper.join();
    EXPECT_TRUE(stopped);
    // The attempt completed and its message went out before the thread ended.
    EXPECT_TRUE(server->WaitForPasses(0));
}

TEST_F(Sender, StopRightAfterAPublishStillSendsIt) {
    CloseGate();
    plugin.RenderStart();
    ASSERT_TRUE(SenderHeldInConnect());
    plugin.Pass(1);                 // published while the sender is busy
    EventSet(g_run.stopEvent);      // and the stop comes before its next wait
    OpenGate();
    plugin.RenderEnd();
    EXPECT_TRUE(server->WaitForPasses(0));
    EXPECT_TRUE(server->WaitForPasses(1)) << "the pending message was dropped at the stop";
}

// The render thread's cost per pass, median over chunks, in nanoseconds.
double PassCost(PluginSlots &plugin, int32_t &frame) {
    constexpr int kChunks = 15, kPasses = 2000;
    std::vector<double> perPass;
    for (int c = 0; c < kChunks; ++c) {
        const uint64_t t0 = MonotonicNanos();
        for (int i = 0; i < kPasses; ++i) plugin.Pass(frame++, 16);
        perPass.push_back(static_cast<double>(MonotonicNanos() - t0) / kPasses);
    }
    std::sort(perPass.begin(), perPass.end());
    return perPass[perPass.size() / 2];
}

TEST_F(Sender, RenderThreadNeverWaitsForTheNetwork) {
    int32_t frame = 1;
    plugin.RenderStart();
    ASSERT_TRUE(server->WaitForPasses(0));
    const double reading = PassCost(plugin, frame);
    plugin.RenderEnd();

    // The sender stuck in a connect, as with an unreachable server.
    CloseGate();
    plugin.RenderStart();
    ASSERT_TRUE(SenderHeldInConnect());
    const double stuck = PassCost(plugin, frame);
    OpenGate();
    plugin.RenderEnd();

    // Every publish meets a refused connection.
    server.reset();
    const int connectsBefore = Connects();
    plugin.RenderStart();
    ASSERT_TRUE(PollUntil([&] { return Connects() > connectsBefore; }, 10000));
    const double refused = PassCost(plugin, frame);
    const int attempts = Connects() - connectsBefore;
    plugin.RenderEnd();

    // A server that accepts but never reads: sends fill its buffers and fail.
    server = std::make_unique<MessageCollector>(0, false);
    SetTestEnv("PELLICK_TEST_PORT", std::to_string(server->Port()).c_str());
    plugin.RenderStart();
    ASSERT_TRUE(server->WaitForConnections(1));
    // Render until the buffers are full and a send has failed (a second connection), or for a while.
    const uint64_t fillStart = MonotonicNanos();
    while (server->Connections().size() < 2 && MonotonicNanos() - fillStart < 10000000000ULL) {
        plugin.Pass(frame++, 1);
        if (frame % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double stalled = PassCost(plugin, frame);
    const size_t stalledConnections = server->Connections().size();
    plugin.RenderEnd();

    std::printf("ns per pass: server reading %.0f, sender stuck %.0f, refused %.0f (%d attempts), "
                "never reads %.0f (%zu connections)\n",
                reading, stuck, refused, attempts, stalled, stalledConnections);
    // Generous: the same order of cost, with a floor for noisy machines and sanitizers.
    const double bound = 10 * reading + 50000;
    EXPECT_LT(stuck, bound);
    EXPECT_LT(refused, bound);
    EXPECT_LT(stalled, bound);
}

}  // namespace
