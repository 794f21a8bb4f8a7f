// Threaded stress of the plug-in, run under ThreadSanitizer: passes published while the sender connects, sends and reconnects, renders ended while pixels are still evaluated, and the server name changed by the panel and by scene loads while the sender connects.
#include "fake_host.h"
#include "message_collector.h"
#include "net.h"
#include "plugin.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" HostModuleDescriptor _mod_descrip;

namespace {

using namespace std::chrono_literals;

// Renders passes as the host does: the new-frame call on the render thread,
// then the pass's pixels evaluated on several threads at once.
class Renderer {
public:
    explicit Renderer(PluginSlots &plugin, int pixelThreads = 3) : plugin_(plugin) {
        for (int t = 0; t < pixelThreads; ++t) {
            workers_.emplace_back([this] {
                for (int seen = 1;; ++seen) {
                    while (pass_.load() < seen && !quit_.load()) std::this_thread::yield();
                    if (quit_.load()) return;
                    for (int i = 0; i < 50; ++i) plugin_.Evaluate();
                    done_.fetch_add(1);
                }
            });
        }
    }
    ~Renderer() {
        quit_ = true;
        for (std::thread &w : workers_) w.join();
    }

    // One pass on frame; returns once every pixel thread has evaluated it.
    void Pass(int32_t frame) {
        plugin_.NewFrame(frame);
        const int p = pass_.fetch_add(1) + 1;
        while (done_.load() < p * static_cast<int>(workers_.size())) std::this_thread::yield();
    }

private:
    PluginSlots &plugin_;
    std::vector<std::thread> workers_;
    std::atomic<int> pass_{0}, done_{0};
    std::atomic<bool> quit_{false};
};

class PluginRace : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetStartup()); }
    static void TearDownTestSuite() { NetCleanup(); }

    void SetUp() override {
        g_host.Reset();
        SetTestEnv("PELLICK_TEST_QUIET_MS", "5");
        plugin.descriptor = &_mod_descrip;
        ASSERT_EQ(plugin.ActivateHandler(), 0);
        plugin.SetServerName("127.0.0.1");
    }
    void TearDown() override {
        _mod_descrip.shutdown();
        netCalls = kDefaultNetCalls;
    }

    PluginSlots plugin;
};

TEST_F(PluginRace, PassesPublishedWhileTheSenderReconnects) {
    MessageCollector server;
    ASSERT_TRUE(server.Listening());
    SetTestEnv("PELLICK_TEST_PORT", std::to_string(server.Port()).c_str());
    plugin.RenderStart();

    // The server hangs up on every connection again and again, so the sender
    // keeps failing sends, noticing closes and reconnecting while passes come in.
    std::atomic<bool> hangUps{true};
    std::thread hangUp([&] {
        while (hangUps.load()) {
            server.CloseConnections();
            std::this_thread::sleep_for(2ms);
        }
    });
    constexpr int32_t kPasses = 3000;
    {
        Renderer render(plugin);
        for (int32_t p = 1; p <= kPasses; ++p) render.Pass(p);
    }
    hangUps = false;
    hangUp.join();

    CollectedMessage last{};
    ASSERT_TRUE(server.WaitForPasses(kPasses, &last, 30000)) << "the latest state never arrived";
    EXPECT_EQ(last.record.currentFrame, kPasses);
    plugin.RenderEnd();

    const std::vector<CollectedConnection> connections = server.Connections();
    EXPECT_GT(connections.size(), 2u) << "the sender never had to reconnect";
    // Each connection carries whole messages, each the state of its moment: passes never go back.
    std::vector<uint32_t> latest(connections.size(), 0);
    for (const CollectedMessage &m : server.Messages()) {
        ASSERT_TRUE(HasRecordSignature(m.record)) << "connection " << m.connection;
        EXPECT_GE(m.record.passesDone, latest[static_cast<size_t>(m.connection)]) << "connection " << m.connection;
        latest[static_cast<size_t>(m.connection)] = m.record.passesDone;
    }
    std::printf("%d passes, %zu connections, %zu messages\n", kPasses, connections.size(), server.Messages().size());
}

TEST_F(PluginRace, RendersEndedWhilePixelsAreStillEvaluated) {
    // Nobody listens: each run's sender fails its attempts at once.
    uint16_t port = 0;
    {
        MessageCollector probe;
        port = probe.Port();
    }
    SetTestEnv("PELLICK_TEST_PORT", std::to_string(port).c_str());
    // A host that ends and starts renders while its render thread and pixel
    // threads carry on: counting must never reach a released event or lock.
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int32_t frame = 1; running.load(); ++frame) {
            plugin.NewFrame(frame);
            for (int i = 0; i < 20; ++i) plugin.Evaluate();
        }
    });
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (running.load()) plugin.Evaluate();
        });
    for (int run = 0; run < 200; ++run) {
        plugin.RenderStart();
        std::this_thread::sleep_for(200us);
        plugin.RenderEnd();
    }
    running = false;
    for (std::thread &t : threads) t.join();

    // The module is still sound: a run after that counts and reports as usual.
    MessageCollector server;
    ASSERT_TRUE(server.Listening());
    SetTestEnv("PELLICK_TEST_PORT", std::to_string(server.Port()).c_str());
    plugin.RenderStart();
    plugin.Pass(7);
    CollectedMessage m{};
    ASSERT_TRUE(server.WaitForPasses(1, &m, 20000));
    EXPECT_EQ(m.record.currentFrame, 7);
    plugin.RenderEnd();
}

// Where the sender tried to connect.
std::mutex attemptsMutex;
std::vector<uint32_t> attempts;

int RecordConnect(NetSocket s, uint32_t addr, uint16_t port, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(attemptsMutex);
        attempts.push_back(addr);
    }
    return kDefaultNetCalls.connect(s, addr, port, timeoutMs);
}

TEST_F(PluginRace, ServerNameChangedWhileTheSenderConnects) {
    // No server at first: every quiet time-out brings a new connection attempt.
    uint16_t port = 0;
    {
        MessageCollector probe;
        port = probe.Port();
    }
    SetTestEnv("PELLICK_TEST_PORT", std::to_string(port).c_str());
    {
        std::lock_guard<std::mutex> lock(attemptsMutex);
        attempts.clear();
    }
    netCalls.connect = RecordConnect;
    plugin.RenderStart();

    // Two names whose mixture would be neither: a torn copy shows up as a third address.
    const char *const kNames[2] = {"127.0.0.1", "127.0.0.22"};
    std::atomic<bool> running{true};
    std::thread panel([&] {
        // The panel and scene loads replace the name on the host's interface thread.
        g_host.panelConfirms = true;
        SceneBlock block;
        for (int i = 0; running.load(); ++i) {
            const char *name = kNames[i % 2];
            if (i % 3 == 0) {
                block.bytes.fill(0);
                std::memcpy(block.bytes.data(), name, std::strlen(name));
                plugin.Load(block);
            } else {
                g_host.typedName = name;
                plugin.ActivateInterface();
            }
            (void)plugin.Describe();
        }
    });
    {
        Renderer render(plugin, 2);
        int32_t frame = 1;
        const auto end = std::chrono::steady_clock::now() + 1500ms;
        while (std::chrono::steady_clock::now() < end) {
            render.Pass(frame++);
            std::this_thread::sleep_for(1ms);
        }
    }
    running = false;
    panel.join();

    std::set<uint32_t> seen;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(attemptsMutex);
        seen.insert(attempts.begin(), attempts.end());
        count = attempts.size();
    }
    EXPECT_GT(count, 20u) << "too few connection attempts to overlap the name changes";
    for (uint32_t addr : seen) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr, text, sizeof text);
        EXPECT_TRUE(std::string(text) == kNames[0] || std::string(text) == kNames[1]) << "connected to " << text;
    }

    // Once a server is there, the latest state reaches it under the last name.
    MessageCollector server(port);
    ASSERT_TRUE(server.Listening());
    plugin.SetServerName("127.0.0.1");
    plugin.Pass(1000000);
    ASSERT_TRUE(server.WaitFor([](const auto &all) { return !all.empty() && all.back().record.currentFrame == 1000000; },
                               20000));
    plugin.RenderEnd();
    std::printf("%zu connection attempts to %zu addresses\n", count, seen.size());
}

}  // namespace
