// Tests of the built plug-in through its C interface: the test loads the shared library as the host does and reads what it sends.
#include "clock.h"
#include "dynlib.h"
#include "fake_host.h"
#include "files.h"
#include "message_collector.h"
#include "net.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

DynLib *library;
PluginSlots plugin;

std::string LibraryPath() {
    std::string path = PELLICK_PLUGIN_PATH;
#if defined(_WIN32)
    // Built on the POSIX side of a cross build: the path is seen through drive Z:.
    if (!path.empty() && path[0] == '/') {
        for (char &c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
#endif
    return path;
}

std::string TempPath(const std::string &name) {
    const char *dir = std::getenv("TMPDIR");
#if defined(_WIN32)
    if (!dir) dir = std::getenv("TEMP");
#endif
    return std::string(dir ? dir : "/tmp") + "/" + name;
}

std::string Text(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

class PluginAbi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(NetStartup());
        library = DynLoad(LibraryPath().c_str());
        if (!library) {
            char why[512];
            DynLastError(why, sizeof why);
            FAIL() << "cannot load " << LibraryPath() << ": " << why;
        }
        plugin.descriptor = static_cast<HostModuleDescriptor *>(DynSymbol(library, "_mod_descrip"));
        ASSERT_NE(plugin.descriptor, nullptr);
        ASSERT_EQ(plugin.descriptor->startup(), 4u);
    }
    static void TearDownTestSuite() {
        if (plugin.descriptor) plugin.descriptor->shutdown();
        DynUnload(library);
        NetCleanup();
    }

    void SetUp() override {
        ASSERT_NE(plugin.descriptor, nullptr);
        g_host.Reset();
        SetTestEnv("PELLICK_TEST_QUIET_MS", "200");
        server = std::make_unique<MessageCollector>();
        ASSERT_TRUE(server->Listening());
        UsePort(server->Port());
        ASSERT_EQ(plugin.ActivateHandler(), 0);
        plugin.SetServerName("127.0.0.1");
    }
    void TearDown() override {
        plugin.descriptor->shutdown();  // ends a run a failed test left open
        server.reset();
    }

    static void UsePort(uint16_t port) { SetTestEnv("PELLICK_TEST_PORT", std::to_string(port).c_str()); }

    // The message with passesDone n, failing the test when it does not come.
    StatusRecord Passes(uint32_t n) {
        CollectedMessage m{};
        EXPECT_TRUE(server->WaitForPasses(n, &m)) << "no message with passesDone " << n;
        return m.record;
    }

    // Starts an interactive run and returns its first message.
    StatusRecord StartRender() {
        plugin.RenderStart();
        return Passes(0);
    }

    std::unique_ptr<MessageCollector> server;
};

TEST_F(PluginAbi, DescriptorAndServerTable) {
    const HostModuleDescriptor &d = *plugin.descriptor;
    EXPECT_EQ(d.sysSync, 0x04121994u);
    EXPECT_EQ(d.sysVersion, 2u);
    EXPECT_EQ(d.machine, 0x300u);
    ASSERT_NE(d.servers, nullptr);
    EXPECT_STREQ(d.servers[0].className, "PixelFilterHandler");
    EXPECT_STREQ(d.servers[0].serverName, "Pellick-Monitor");
    EXPECT_STREQ(d.servers[1].className, "PixelFilterInterface");
    EXPECT_STREQ(d.servers[1].serverName, "Pellick-Monitor");
    EXPECT_EQ(d.servers[2].className, nullptr);
    EXPECT_EQ(d.servers[2].serverName, nullptr);
    EXPECT_EQ(d.servers[2].activate, nullptr);
}

TEST_F(PluginAbi, HandlerActivationFailuresLeaveTheTableAlone) {
    struct Case {
        const char *what;
        int32_t version;
        bool hasScene;
        int32_t expected;
    };
    const Case cases[] = {
        {"version 2", 2, true, 1},
        {"version 4", 4, true, 1},
        {"no scene record", 3, false, 1},
    };
    for (const Case &c : cases) {
        g_host.hasScene = c.hasScene;
        HostPixelFilter table;
        std::memset(&table, 0x5A, sizeof table);
        HostPixelFilter before = table;
        int32_t got = plugin.Server("PixelFilterHandler")->activate(c.version, FakeGlobal, &table, nullptr);
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(std::memcmp(&table, &before, sizeof table), 0) << c.what << ": table changed";
    }
    g_host.hasScene = true;
    HostPixelFilter table{};
    ASSERT_EQ(plugin.Server("PixelFilterHandler")->activate(3, FakeGlobal, &table, nullptr), 0);
    void *slots[11];
    std::memcpy(slots, &table, sizeof slots);
    for (int i = 0; i < 11; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
    EXPECT_EQ(table.load, table.save);
    void *instance = table.create(nullptr, nullptr, nullptr);
    EXPECT_EQ(table.copy(instance, instance), 0);
    EXPECT_EQ(table.flags(instance), 0);
}

TEST_F(PluginAbi, SystemIdChoosesModeAndCpu) {
    struct Case {
        uint32_t systemId;
        bool renderNode;
        int32_t cpuIndex;
    };
    const Case cases[] = {
        {0x20000003, true, 2},  {0x20000000, true, -1}, {0x2000000C, true, 11},
        {0x10000001, false, 0}, {0x00000000, false, 0}, {0x30000005, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << "System ID 0x" << c.systemId);
        server = std::make_unique<MessageCollector>();
        UsePort(server->Port());
        g_host.systemId = c.systemId;
        ASSERT_EQ(plugin.ActivateHandler(), 0);
        void *a = plugin.Create();
        const uint64_t beforeStart = NowFileTime();
        if (c.renderNode) {
            // The instance's lifetime is the run: render start and end do nothing.
            plugin.RenderStart();
            plugin.RenderEnd();
        } else {
            // Each render is a run: creating and destroying instances do nothing.
            plugin.RenderStart();
            plugin.Destroy(a);
        }
        StatusRecord first = Passes(0);
        EXPECT_EQ(first.cpuIndex, c.cpuIndex);
        if (!c.renderNode) {
            EXPECT_GE(first.startTime, beforeStart) << "the run began before render start";
        }
        plugin.Pass(5);
        EXPECT_EQ(Passes(1).cpuIndex, c.cpuIndex);
        if (c.renderNode)
            plugin.Destroy(a);
        else
            plugin.RenderEnd();
        EXPECT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs[0].closedByPeer; }, 10000))
            << "the run's connection stays open after its stop";
        EXPECT_EQ(server->Connections().size(), 1u);
    }
}

TEST_F(PluginAbi, EveryInstanceIsTheSameRecord) {
    for (uint32_t id : {0x10000001u, 0x20000001u}) {
        g_host.systemId = id;
        ASSERT_EQ(plugin.ActivateHandler(), 0);
        void *a = plugin.Create();
        void *b = plugin.Create();
        EXPECT_NE(a, nullptr);
        EXPECT_EQ(a, b);
        plugin.Destroy(b);
        plugin.Destroy(a);
    }
}

TEST_F(PluginAbi, RenderNodeKeepsTheFrameRangeOfActivation) {
    g_host.systemId = 0x20000002;
    ASSERT_EQ(plugin.ActivateHandler(), 0);
    g_host.scene.firstFrame = 5;
    g_host.scene.lastFrame = 50;
    void *instance = plugin.Create();
    StatusRecord first = Passes(0);
    EXPECT_EQ(first.sceneFirstFrame, 1);
    EXPECT_EQ(first.sceneLastFrame, 100);
    plugin.Pass(10);
    EXPECT_EQ(Passes(1).totalPasses, 100u);
    plugin.Destroy(instance);
}

TEST_F(PluginAbi, InteractiveReadsTheCurrentFrameRange) {
    g_host.scene.lastFrame = 50;  // changed after activation
    StatusRecord first = StartRender();
    EXPECT_EQ(first.sceneFirstFrame, 1);
    EXPECT_EQ(first.sceneLastFrame, 50);
    plugin.Pass(10);
    EXPECT_EQ(Passes(1).totalPasses, 50u);
    g_host.scene.lastFrame = 200;  // changed during the render: the next count reads it
    plugin.Pass(10);
    EXPECT_EQ(Passes(2).totalPasses, 400u);
    plugin.RenderEnd();
}

TEST_F(PluginAbi, FirstMessageOfARun) {
    g_host.systemId = 0x20000004;
    g_host.scene.v08 = 8;
    g_host.scene.v12 = 12;
    g_host.scene.v16 = -16;
    g_host.scene.v20 = 20;
    g_host.scene.frameStep = 2;
    g_host.scene.v48 = 48;
    g_host.scene.v52 = 52;
    g_host.scene.v64 = 64;
    g_host.scene.v68 = 68;
    g_host.scene.v72 = 72;
    g_host.scene.v76 = 76;
    g_host.scene.v80 = 80;
    g_host.scene.v84 = 84;
    g_host.scene.v88 = 88;
    ASSERT_EQ(plugin.ActivateHandler(), 0);
    void *instance = plugin.Create();
    CollectedMessage m{};
    ASSERT_TRUE(server->WaitForPasses(0, &m));
    const StatusRecord &r = m.record;
    EXPECT_EQ(std::memcmp(m.bytes.data(), RecordSignature, 16), 0);
    EXPECT_EQ(r.passesDone, 0u);
    EXPECT_EQ(r.passesPerFrame, 0u);
    EXPECT_EQ(r.totalPasses, 0u);
    EXPECT_EQ(r.passesPerFrameFixed, 0u);
    EXPECT_EQ(r.firstRenderedFrame, -1);
    EXPECT_EQ(r.currentFrame, 0);
    EXPECT_EQ(r.cpuIndex, 3);
    for (int64_t d : {r.elapsedTime, r.lastPassTime, r.averagePassTime, r.averageFrameTime, r.recentPassTime})
        EXPECT_EQ(d, 0);
    EXPECT_EQ(r.reserved, 0u);
    EXPECT_NE(r.startTime, 0u);
    EXPECT_EQ(r.passStartTime, r.startTime);
    EXPECT_EQ(Text(r.sceneName, kTextSize), "shot_010");
    EXPECT_EQ(r.sceneFile[0], '\0');
    EXPECT_EQ(r.sceneFrameStep, 2);
    const int32_t got[] = {r.scene08, r.scene12, r.scene16, r.scene20, r.scene48, r.scene52, r.scene64,
                           r.scene68, r.scene72, r.scene76, r.scene80, r.scene84, r.scene88};
    const int32_t want[] = {8, 12, -16, 20, 48, 52, 64, 68, 72, 76, 80, 84, 88};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "scene value " << i;
    EXPECT_EQ(Text(r.sceneText40, kSceneRealText), "0.0000000000");
    plugin.Destroy(instance);
}

TEST_F(PluginAbi, PassesPerFrameAndTotalAreLearnedOnTheFirstFrame) {
    struct Step {
        int32_t frame;
        uint32_t passesPerFrame, totalPasses, fixed;
        int32_t firstRendered;
    };
    const Step steps[] = {
        {10, 1, 100, 0, 10}, {10, 2, 200, 0, 10}, {10, 3, 300, 0, 10},
        {11, 3, 300, 1, 10}, {10, 3, 300, 1, 10}, {12, 3, 300, 1, 10},
    };
    const uint64_t before = NowFileTime();
    StatusRecord first = StartRender();
    uint32_t n = 0;
    for (const Step &s : steps) {
        plugin.Pass(s.frame);
        StatusRecord r = Passes(++n);
        SCOPED_TRACE(::testing::Message() << "count " << n << " on frame " << s.frame);
        EXPECT_EQ(r.currentFrame, s.frame);
        EXPECT_EQ(r.firstRenderedFrame, s.firstRendered);
        EXPECT_EQ(r.passesPerFrame, s.passesPerFrame);
        EXPECT_EQ(r.totalPasses, s.totalPasses);
        EXPECT_EQ(r.passesPerFrameFixed, s.fixed);
        // The times are consistent with each other whatever the clock says.
        EXPECT_EQ(r.startTime, first.startTime);
        EXPECT_GE(r.startTime, before);
        EXPECT_EQ(static_cast<uint64_t>(r.elapsedTime), r.passStartTime + static_cast<uint64_t>(r.lastPassTime) - r.startTime);
        EXPECT_EQ(r.averagePassTime, r.elapsedTime / static_cast<int64_t>(r.passesDone));
        EXPECT_EQ(r.averageFrameTime, static_cast<int64_t>(r.passesPerFrame) * r.averagePassTime);
        if (n == 1) {
            EXPECT_EQ(r.passStartTime, r.startTime);
            EXPECT_EQ(r.averagePassTime, r.elapsedTime);
            EXPECT_EQ(r.recentPassTime, r.lastPassTime);
        }
    }
    plugin.RenderEnd();
}

TEST_F(PluginAbi, TotalPassesDividesByTheStep) {
    struct Case {
        int32_t first, last, step;
        uint32_t expected;
    };
    const Case cases[] = {
        {1, 100, 1, 300}, {1, 100, 2, 150}, {1, 100, 3, 100}, {1, 100, 0, 300}, {-10, 9, 1, 60},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.first << " to " << c.last << " step " << c.step);
        server = std::make_unique<MessageCollector>();
        UsePort(server->Port());
        g_host.scene.firstFrame = c.first;
        g_host.scene.lastFrame = c.last;
        g_host.scene.frameStep = c.step;
        StartRender();
        for (int i = 0; i < 3; ++i) plugin.Pass(c.first);
        plugin.Pass(c.first + 1);
        EXPECT_EQ(Passes(4).totalPasses, c.expected);
        plugin.RenderEnd();
    }
}

TEST_F(PluginAbi, FrameMinusOneIsAlsoTheUnseenMarker) {
    StartRender();
    struct Step {
        int32_t frame;
        int32_t firstRendered;
        uint32_t passesPerFrame, fixed;
    };
    const Step steps[] = {{-1, -1, 1, 0}, {-1, -1, 2, 0}, {0, 0, 3, 0}, {0, 0, 4, 0}, {1, 0, 4, 1}};
    uint32_t n = 0;
    for (const Step &s : steps) {
        plugin.Pass(s.frame);
        StatusRecord r = Passes(++n);
        EXPECT_EQ(r.firstRenderedFrame, s.firstRendered) << "count " << n;
        EXPECT_EQ(r.passesPerFrame, s.passesPerFrame) << "count " << n;
        EXPECT_EQ(r.passesPerFrameFixed, s.fixed) << "count " << n;
    }
    plugin.RenderEnd();
}

TEST_F(PluginAbi, OnlyTheFirstEvaluateOfAPassCounts) {
    StartRender();
    // Before any new-frame call: one count, on frame 0.
    for (int i = 0; i < 100; ++i) plugin.Evaluate();
    StatusRecord r = Passes(1);
    EXPECT_EQ(r.currentFrame, 0);
    EXPECT_EQ(r.firstRenderedFrame, 0);
    // Now that pass 1 went out, further evaluate calls must neither count nor publish.
    for (int i = 0; i < 10000; ++i) plugin.Evaluate();
    plugin.Pass(0, 1000);
    ASSERT_TRUE(server->WaitForPasses(2));
    plugin.RenderEnd();
    ASSERT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs.back().closedByPeer; }, 10000));
    int ones = 0, twos = 0;
    for (const CollectedMessage &m : server->Messages()) {
        ones += m.record.passesDone == 1;
        twos += m.record.passesDone == 2;
        EXPECT_LE(m.record.passesDone, 2u);
    }
    EXPECT_EQ(ones, 1);
    EXPECT_EQ(twos, 1);
}

TEST_F(PluginAbi, PixelsEvaluatedOnSeveralThreadsCountEachPassOnce) {
    StartRender();
    constexpr int kThreads = 4, kPasses = 1000;
    std::atomic<int> pass{0}, done{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&] {
            for (int seen = 1; seen <= kPasses; ++seen) {
                while (pass.load() < seen) std::this_thread::yield();
                for (int i = 0; i < 200; ++i) plugin.Evaluate();
                done.fetch_add(1);
            }
        });
    }
    for (int p = 1; p <= kPasses; ++p) {
        plugin.NewFrame(p);
        pass.store(p);  // all threads race for the pass's first evaluate
        while (done.load() < p * kThreads) std::this_thread::yield();
    }
    for (std::thread &w : workers) w.join();
    plugin.RenderEnd();  // the last publish still goes out before the sender ends
    ASSERT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs[0].closedByPeer; }, 10000));
    const StatusRecord last = server->Messages().back().record;
    EXPECT_EQ(last.currentFrame, kPasses);
    EXPECT_EQ(last.passesDone, static_cast<uint32_t>(kPasses)) << "a pass was counted more than once";
}

TEST_F(PluginAbi, SceneRealsAreCutAtTwentyCharacters) {
    g_host.scene.v40 = 123456789.5;
    g_host.scene.v56 = 1234567890.5;
    StatusRecord r = StartRender();
    EXPECT_EQ(std::string(r.sceneText40, kSceneRealText), std::string("123456789.5000000000\0", kSceneRealText));
    EXPECT_EQ(std::string(r.sceneText56, kSceneRealText), std::string("1234567890.500000000\0", kSceneRealText));
    plugin.RenderEnd();
}

TEST_F(PluginAbi, SceneFileAndNameIdentity) {
    const std::string path = TempPath("pellick_abi_scene_" + std::to_string(server->Port()) + ".scn");
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string(1234, 'x');
    }
    uint64_t wantTime = 0, wantSize = 0;
    ASSERT_TRUE(FileAttributes(path.c_str(), &wantTime, &wantSize));
    const std::string missing = path + ".missing";
    const std::string longName(300, 'n');
    struct Case {
        const char *what;
        std::string name, file;
        uint64_t time, size;
    };
    const Case cases[] = {
        {"existing file", "shot_010", path, wantTime, 1234},
        {"missing file", "shot_010", missing, 0, 0},
        {"name of 300 characters", longName, missing, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server = std::make_unique<MessageCollector>();
        UsePort(server->Port());
        g_host.scene.name = c.name.c_str();
        g_host.scene.filename = c.file.c_str();
        StatusRecord r = StartRender();
        EXPECT_EQ(r.sceneFileTime, c.time);
        EXPECT_EQ(r.sceneFileSize, c.size);
        EXPECT_EQ(std::string(r.sceneName, kTextSize), (c.name + std::string(kTextSize, '\0')).substr(0, kTextSize));
        EXPECT_EQ(std::string(r.sceneFile, kTextSize), (c.file + std::string(kTextSize, '\0')).substr(0, kTextSize));
        plugin.RenderEnd();
    }
    std::remove(path.c_str());
}

TEST_F(PluginAbi, SecondStartAndStrayStopsLeaveTheRunAlone) {
    // Interactive: a stop without a start, then two starts, then a stop.
    plugin.RenderEnd();
    StatusRecord first = StartRender();
    plugin.RenderStart();
    plugin.Pass(3);
    StatusRecord one = Passes(1);
    EXPECT_EQ(one.startTime, first.startTime) << "the second start restarted the run";
    plugin.RenderEnd();
    plugin.RenderEnd();
    ASSERT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs[0].closedByPeer; }, 10000));
    EXPECT_EQ(server->Connections().size(), 1u);

    // Render node: the first create starts, the last destroy stops.
    server = std::make_unique<MessageCollector>();
    UsePort(server->Port());
    g_host.systemId = 0x20000001;
    ASSERT_EQ(plugin.ActivateHandler(), 0);
    plugin.Destroy();  // nothing to stop
    void *a = plugin.Create();
    first = Passes(0);
    void *b = plugin.Create();
    plugin.Destroy(b);
    plugin.Pass(7);
    EXPECT_EQ(Passes(1).startTime, first.startTime);
    plugin.Destroy(a);
    ASSERT_TRUE(PollUntil([&] { auto cs = server->Connections(); return !cs.empty() && cs[0].closedByPeer; }, 10000));
    plugin.Destroy(a);
    EXPECT_EQ(server->Connections().size(), 1u);
}

TEST_F(PluginAbi, EvaluateOutsideARunDoesNothing) {
    plugin.Pass(4, 3);
    StatusRecord first = StartRender();
    EXPECT_EQ(first.passesDone, 0u);
    plugin.Pass(4);
    EXPECT_EQ(Passes(1).firstRenderedFrame, 4);
    plugin.RenderEnd();
    plugin.Pass(5, 3);  // after the stop: still nothing
    plugin.Pass(6, 3);
}

// --- The server name: panel, scene state, description line ---

TEST_F(PluginAbi, PanelConfirmAndCancel) {
    plugin.SetServerName("old-host");
    g_host.typedName = "render-01";
    g_host.panelConfirms = false;
    EXPECT_EQ(plugin.ActivateInterface(), 0);
    EXPECT_EQ(plugin.ServerName(), "old-host") << "a cancelled panel changed the name";
    EXPECT_EQ(g_host.shownText, "old-host");
    EXPECT_EQ(g_host.shownSize, 9);
    EXPECT_EQ(g_host.panelTitle, "Stats Server");
    EXPECT_EQ(g_host.controlKind, "EditControl");
    EXPECT_EQ(g_host.controlLabel, "Server Name");
    EXPECT_EQ(g_host.controlDesc[0], 1);
    EXPECT_EQ(g_host.controlDesc[1], 50);
    EXPECT_EQ(g_host.openFlags, 3);
    EXPECT_EQ(g_host.panelsDestroyed, 1);

    g_host.panelConfirms = true;
    EXPECT_EQ(plugin.ActivateInterface(), 0);
    EXPECT_EQ(plugin.ServerName(), "render-01");
    EXPECT_EQ(g_host.readSize, 260);
    for (uint32_t attr : g_host.attributes) EXPECT_EQ(attr, 4u);
    EXPECT_EQ(plugin.Describe(), "Pellick Monitor (render-01)");
    EXPECT_EQ(g_host.panelsCreated, 2);
    EXPECT_EQ(g_host.panelsDestroyed, 2);
}

TEST_F(PluginAbi, InterfaceActivationFailures) {
    plugin.SetServerName("kept");
    g_host.panelConfirms = true;
    g_host.typedName = "changed";
    struct Case {
        const char *what;
        int32_t version;
        bool hasPanels, createFails, controlFails;
        int32_t expected;
        int created, opened, destroyed;
    };
    const Case cases[] = {
        {"version 2", 2, true, false, false, 1, 0, 0, 0},
        {"no panel services", 3, false, false, false, 2, 0, 0, 0},
        {"panel not made", 3, true, true, false, 0, 0, 0, 0},
        {"control not made", 3, true, false, true, 0, 1, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        g_host.panelsCreated = g_host.panelsOpened = g_host.panelsDestroyed = 0;
        g_host.hasPanels = c.hasPanels;
        g_host.panelCreateFails = c.createFails;
        g_host.controlFails = c.controlFails;
        EXPECT_EQ(plugin.ActivateInterface(c.version), c.expected);
        EXPECT_EQ(g_host.panelsCreated, c.created);
        EXPECT_EQ(g_host.panelsOpened, c.opened);
        EXPECT_EQ(g_host.panelsDestroyed, c.destroyed);
        EXPECT_EQ(plugin.ServerName(), "kept");
    }
}

TEST_F(PluginAbi, StateTransferOnlyInModeOne) {
    SceneBlock stored;
    for (size_t i = 0; i < kTextSize; ++i) stored.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    stored.bytes[5] = 0;  // a name "\x01\x08..." with bytes after its terminator
    plugin.Load(stored);
    EXPECT_EQ(stored.transfers, 1);
    SceneBlock saved;
    plugin.Save(saved);
    EXPECT_EQ(saved.bytes, stored.bytes) << "the 260 bytes did not come back as stored";

    // Another mode neither stores nor loads.
    for (int32_t mode : {0, 2, -1}) {
        SceneBlock other;
        other.bytes.fill('z');
        plugin.Load(other, mode);
        plugin.Save(other, mode);
        EXPECT_EQ(other.transfers, 0) << "mode " << mode;
        SceneBlock again;
        plugin.Save(again);
        EXPECT_EQ(again.bytes, stored.bytes) << "mode " << mode;
    }
}

TEST_F(PluginAbi, DescriptionLine) {
    struct Case {
        std::string name;
        std::string expected;
    };
    const std::string longName(kTextSize, 'h');  // no terminator at all
    const Case cases[] = {
        {"", "Pellick Monitor ()"},
        {"10.0.0.7", "Pellick Monitor (10.0.0.7)"},
        {longName, "Pellick Monitor (" + std::string(241, 'h') + ")"},
    };
    for (const Case &c : cases) {
        plugin.SetServerName(c.name);
        std::string line = plugin.Describe();
        EXPECT_EQ(line, c.expected) << "name of " << c.name.size() << " characters";
        EXPECT_LT(line.size(), kTextSize);
    }
}

// --- Sending: a real local listener ---

TEST_F(PluginAbi, ServerAppearsLater) {
    // A port where nobody listens yet.
    const uint16_t port = server->Port();
    server.reset();
    UsePort(port);
    plugin.RenderStart();
    for (int32_t f = 1; f <= 3; ++f) plugin.Pass(f);  // each publish tries and fails
    // Let the sender finish those refused attempts, so the next one is the quiet time-out's.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server = std::make_unique<MessageCollector>(port);
    ASSERT_TRUE(server->Listening());
    // With no new pass, a later attempt offers the latest state.
    CollectedMessage m{};
    EXPECT_TRUE(server->WaitForPasses(3)) << "the latest state never reached the server";
    plugin.Pass(4);
    ASSERT_TRUE(server->WaitForPasses(4, &m));
    EXPECT_EQ(m.connection, 0);
    plugin.RenderEnd();
}

TEST_F(PluginAbi, ServerRestartGetsTheLatestStateAgain) {
    const uint16_t port = server->Port();
    StartRender();
    plugin.Pass(1);
    CollectedMessage last{};
    ASSERT_TRUE(server->WaitForPasses(1, &last));
    server->CloseConnections();
    server.reset();
    server = std::make_unique<MessageCollector>(port);
    ASSERT_TRUE(server->Listening());
    // No pass comes: the quiet time-out notices the close and resends.
    ASSERT_TRUE(server->WaitFor([](const auto &all) { return !all.empty(); }));
    CollectedMessage again = server->Messages().front();
    EXPECT_EQ(again.bytes, last.bytes) << "the resent message is not the latest state";
    plugin.Pass(1);
    EXPECT_TRUE(server->WaitForPasses(2));
    EXPECT_EQ(server->Connections().size(), 1u);
    plugin.RenderEnd();
}

TEST_F(PluginAbi, ServerNameRules) {
    // A digit first is an address; "3dhost" is neither an address nor looked up.
    plugin.SetServerName("3dhost");
    plugin.RenderStart();
    plugin.Pass(1);
    plugin.Pass(2);
    // Several quiet time-outs pass without a connection.
    EXPECT_FALSE(server->WaitForConnections(1, 1000));
    // A new name takes effect at the next attempt.
    plugin.SetServerName("127.0.0.1");
    CollectedMessage m{};
    ASSERT_TRUE(server->WaitForPasses(2, &m));
    plugin.RenderEnd();

    // An empty name is the local host.
    server = std::make_unique<MessageCollector>();
    UsePort(server->Port());
    plugin.SetServerName("");
    StartRender();
    plugin.RenderEnd();
}

TEST_F(PluginAbi, ShortDottedNamesReachTheServer) {
    // Fewer parts, hexadecimal and octal parts, as the Windows plug-in reads them.
    for (const char *name : {"127.1", "0x7f.1", "0177.0.0.1", "127.0.1"}) {
        SCOPED_TRACE(name);
        server = std::make_unique<MessageCollector>();
        UsePort(server->Port());
        plugin.SetServerName(name);
        StartRender();
        plugin.RenderEnd();
    }
}

}  // namespace
