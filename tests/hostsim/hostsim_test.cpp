// Tests of the host simulator's engine driving the built plug-in against a local stand-in server.
#include "dynlib.h"
#include "fake_host.h"
#include "message_collector.h"
#include "net.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

std::string Native(std::string path) {
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') {
        for (char &c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
#endif
    return path;
}

std::string Scratch(const std::string &name) {
    return Native(std::string(PELLICK_TEST_SCRATCH) + "/" + name);
}

class HostSim : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetStartup()); }
    static void TearDownTestSuite() { NetCleanup(); }

    void SetUp() override {
        server = std::make_unique<MessageCollector>();
        ASSERT_TRUE(server->Listening());
        SetTestEnv("PELLICK_TEST_PORT", std::to_string(server->Port()).c_str());
        SetTestEnv("PELLICK_TEST_QUIET_MS", "200");
        options.plugin = Native(PELLICK_PLUGIN_PATH);
        options.passMs = 1;
        options.evaluates = 50;
        options.quiet = true;
        options.panel = PanelAnswer::Confirm;
        options.typedServer = "127.0.0.1";
    }

    int Run() { return RunHostSim(options, stdout, stderr); }

    SimOptions options;
    std::unique_ptr<MessageCollector> server;
};

TEST_F(HostSim, InteractiveRendersAreSeparateRuns) {
    options.renders = 2;
    options.firstFrame = 1;
    options.lastFrame = 3;
    options.passes = 2;
    ASSERT_EQ(Run(), 0);
    ASSERT_TRUE(server->WaitFor([](const auto &all) {
        int finals = 0;
        for (const CollectedMessage &m : all) finals += m.record.passesDone == 6;
        return finals == 2;
    }));
    for (const CollectedMessage &m : server->Messages()) {
        EXPECT_EQ(m.record.cpuIndex, 0);
        if (m.record.passesDone == 6) {
            EXPECT_EQ(m.record.totalPasses, 6u);
            EXPECT_EQ(m.record.currentFrame, 3);
        }
    }
    EXPECT_EQ(server->Connections().size(), 2u) << "each render should be its own connection";
}

TEST_F(HostSim, RenderNodeRendersItsShareOfTheRange) {
    options.renderNode = true;
    options.node = 4;
    options.firstFrame = 1;
    options.lastFrame = 10;
    options.handOut = {{5, 6, 1}};
    options.passes = 3;
    options.jitterPercent = 50;
    ASSERT_EQ(Run(), 0);
    CollectedMessage last{};
    ASSERT_TRUE(server->WaitForPasses(6, &last));
    EXPECT_EQ(last.record.cpuIndex, 3);
    EXPECT_EQ(last.record.totalPasses, 30u);
    EXPECT_EQ(last.record.passesPerFrame, 3u);
    EXPECT_EQ(last.record.firstRenderedFrame, 5);
    EXPECT_EQ(last.record.currentFrame, 6);
    EXPECT_EQ(last.record.sceneLastFrame, 10);
}

// Every pass's message names the frame handed out for it, in the hand-out's order
// (the sender may skip messages, never reorder passes).
TEST_F(HostSim, InterleavedHandOutReportsItsFramesInOrder) {
    options.renderNode = true;
    options.node = 2;
    options.firstFrame = 1;
    options.lastFrame = 10;
    options.passes = 2;
    std::string error;
    ASSERT_TRUE(ParseFrameHandOut("1-9:4,2", 1, 10, 1, options.handOut, error)) << error;
    const int32_t frames[] = {1, 5, 9, 2};
    ASSERT_EQ(Run(), 0);
    ASSERT_TRUE(server->WaitForPasses(8));
    for (const CollectedMessage &m : server->Messages()) {
        if (m.record.passesDone == 0) continue;  // the run's first message, before any pass
        ASSERT_LE(m.record.passesDone, 8u);
        EXPECT_EQ(m.record.currentFrame, frames[(m.record.passesDone - 1) / 2]) << "pass " << m.record.passesDone;
        EXPECT_EQ(m.record.firstRenderedFrame, 1) << "pass " << m.record.passesDone;
        if (m.record.passesDone > 2) {
            EXPECT_EQ(m.record.passesPerFrame, 2u) << "pass " << m.record.passesDone;
        }
    }
}

// Sleeps are never shorter than asked, so each pass lasts at least its pass time
// scaled by the frame's cost and divided by the node's speed.
TEST_F(HostSim, PassTimesFollowTheCostAndTheNodesSpeed) {
    options.renderNode = true;
    options.firstFrame = 1;
    options.lastFrame = 2;
    options.passMs = 20;
    options.speed = 0.25;
    std::string error;
    ASSERT_TRUE(ParseCostProfile("step:2:2", options.cost, error)) << error;
    ASSERT_EQ(Run(), 0);
    ASSERT_TRUE(server->WaitForPasses(2));
    constexpr int64_t kTicksPerMs = 10000;
    const int64_t least[] = {80 * kTicksPerMs, 160 * kTicksPerMs};  // frame 1, frame 2
    for (const CollectedMessage &m : server->Messages()) {
        if (m.record.passesDone == 0) continue;
        ASSERT_LE(m.record.passesDone, 2u);
        EXPECT_GE(m.record.lastPassTime, least[m.record.passesDone - 1]) << "frame " << m.record.currentFrame;
    }
}

// The host's calls as a recording plug-in saw them, in order: render start and
// end come around every render, the render node's single one included.
TEST_F(HostSim, SlotCallOrder) {
    const std::string recorder = Native(PELLICK_RECORDER_PATH);
    // Held open here as well, so its record outlives hostsim's unload.
    DynLib *lib = DynLoad(recorder.c_str());
    ASSERT_NE(lib, nullptr) << recorder;
    auto *recorded = reinterpret_cast<const char *(*)()>(DynSymbol(lib, "RecordedCalls"));
    ASSERT_NE(recorded, nullptr);
    struct Case {
        const char *what;
        bool renderNode;
        int renders;
        std::string expected;
    };
    const std::string render = "create renderStart newFrame:1 evaluate newFrame:1 evaluate newFrame:2 evaluate "
                               "newFrame:2 evaluate renderEnd destroy";
    const Case cases[] = {
        {"render node", true, 1, "startup activate " + render + " shutdown"},
        {"interactive, two renders", false, 2, "startup activate " + render + " " + render + " shutdown"},
    };
    for (const Case &c : cases) {
        options.plugin = recorder;
        options.renderNode = c.renderNode;
        options.renders = c.renders;
        options.firstFrame = 1;
        options.lastFrame = 2;
        options.passes = 2;
        options.evaluates = 1;
        ASSERT_EQ(Run(), 0) << c.what;
        EXPECT_EQ(recorded(), c.expected) << c.what;
    }
    DynUnload(lib);
}

TEST_F(HostSim, SceneStateCarriesTheServerName) {
    const std::string state = Scratch("hostsim_state.bin");
    std::remove(state.c_str());
    options.renders = 0;  // only the panel and the save
    options.saveState = state;
    ASSERT_EQ(Run(), 0);
    std::ifstream in(state, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), kTextSize);
    EXPECT_EQ(bytes.substr(0, 10), std::string("127.0.0.1\0", 10));

    // A later session loads it and reaches the server without touching the panel.
    options = SimOptions{};
    options.plugin = Native(PELLICK_PLUGIN_PATH);
    options.quiet = true;
    options.passMs = 1;
    options.lastFrame = 2;
    options.loadState = state;
    ASSERT_EQ(Run(), 0);
    EXPECT_TRUE(server->WaitForPasses(2));
    std::remove(state.c_str());
}

TEST_F(HostSim, Failures) {
    const std::string shortState = Scratch("hostsim_short_state.bin");
    std::ofstream(shortState, std::ios::binary) << "127.0.0.1";
#if defined(_WIN32)
    const char *notAPlugin = "kernel32.dll";
#else
    const char *notAPlugin = "libm.so.6";
#endif
    struct Case {
        const char *what;
        std::string plugin, loadState;
        int expected;
    };
    const Case cases[] = {
        {"missing library", Scratch("no-such-plugin.so"), "", kSimLoadFailed},
        {"library without _mod_descrip", notAPlugin, "", kSimBadModule},
        {"state file of the wrong size", Native(PELLICK_PLUGIN_PATH), shortState, kSimStateFailed},
        {"missing state file", Native(PELLICK_PLUGIN_PATH), Scratch("no-such-state.bin"), kSimStateFailed},
    };
    for (const Case &c : cases) {
        options.plugin = c.plugin;
        options.loadState = c.loadState;
        EXPECT_EQ(Run(), c.expected) << c.what;
    }
    std::remove(shortState.c_str());
}

}  // namespace
