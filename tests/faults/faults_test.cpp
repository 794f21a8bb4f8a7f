// Fault injection end to end: real pellicksrv and hostsim processes under a killed server, a stalled link, hostile connections, a vanishing HTML folder, broken settings files, a vanished peer and a silent CPU.
#include "clock.h"
#include "net.h"
#include "process_kit.h"
#include "status_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// Generous bounds: sanitizer builds on a loaded two-core machine.
constexpr auto kLong = 60s;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// A render node's part of a job, as hostsim arguments.
struct NodeSpec {
    int node;
    int firstFrame, lastFrame;  // the frames this node renders
    int passMs;
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(NetStartup());
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        work = fs::path(PELLICK_FAULTS_WORK) / info->name();
        std::error_code ignored;
        fs::remove_all(work, ignored);
        fs::create_directories(work);
        html = work / "site" / "status.htm";
        fs::create_directories(html.parent_path());
        WriteIni("HTML=" + html.string() + "\n");
        WriteFile(work / "shot.scn", std::string(4096, '\0'));
        port = FreePort();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        WriteFile(work / "release", "");
        for (Child &n : nodes) n.Wait(10s);
        nodes.clear();
        if (server.Running()) {
            server.Signal(SIGTERM);
            server.Wait(10s);
        }
        NetCleanup();
    }

    void WriteIni(const std::string &content) { WriteFile(work / "config/Zandrel/Pellick/settings.ini", content); }

    // Starts pellicksrv and waits until it has shown its first status (it listens before that).
    void StartServer() {
        ++serverStarts;
        serverOut = work / ("server" + std::to_string(serverStarts) + ".out");
        std::vector<std::pair<std::string, std::string>> env = {{"PELLICK_TEST_PORT", std::to_string(port)},
                                                                {"XDG_CONFIG_HOME", (work / "config").string()}};
        if (httpPort) env.emplace_back("PELLICK_TEST_HTTP_PORT", std::to_string(httpPort));
        env.insert(env.end(), serverEnv.begin(), serverEnv.end());
        server = Child({Programs::Server(), "--print", "--stats-file", (work / "stats").string()}, env, serverOut);
        ASSERT_TRUE(server.Started());
        ASSERT_TRUE(PollUntil([&] { return TerminalBlocks(ReadFile(serverOut)) > 0 || !server.Running(); }, kLong));
        ASSERT_TRUE(server.Running()) << "pellicksrv ended at start: " << ReadFile(serverOut);
    }

    // A render node of job "shot" (frames 1..lastJobFrame, two passes per frame), holding its run open at the end.
    void StartNode(const NodeSpec &n, int lastJobFrame, const std::string &serverName = "127.0.0.1", uint16_t to = 0,
                   const std::string &scene = "shot") {
        const fs::path out = work / ("node" + std::to_string(n.node) + ".out");
        nodes.emplace_back(
            std::vector<std::string>{Programs::HostSim(), "--plugin", Programs::Plugin(), "--node",
                                     std::to_string(n.node), "--server", serverName, "--scene-name", scene,
                                     "--scene-file", (work / "shot.scn").string(), "--first", "1", "--last",
                                     std::to_string(lastJobFrame), "--passes", "2", "--frames",
                                     std::to_string(n.firstFrame) + "-" + std::to_string(n.lastFrame), "--pass-ms",
                                     std::to_string(n.passMs), "--evaluates", "50", "--hold-file",
                                     (work / "release").string(), "--hold-ms", "300000", "--quiet"},
            std::vector<std::pair<std::string, std::string>>{{"PELLICK_TEST_PORT", std::to_string(to ? to : port)},
                                                             {"PELLICK_TEST_QUIET_MS", std::to_string(quietMs)}},
            out);
        ASSERT_TRUE(nodes.back().Started());
    }

    // Ends the held runs and checks that every node ended well.
    void ReleaseNodes() {
        WriteFile(work / "release", "");
        for (size_t i = 0; i < nodes.size(); ++i) {
            const std::optional<int> status = nodes[i].Wait(kLong);
            EXPECT_EQ(status, std::optional<int>(0)) << "node " << i + 1 << ": " << ReadFile(work / ("node" + std::to_string(i + 1) + ".out"));
        }
        nodes.clear();
    }

    std::string Html() const { return ReadFile(html); }
    bool RowsAre(const std::vector<HtmlCpu> &want) const { return HtmlCpuRows(Html()) == want; }
    std::map<std::string, std::string> Terminal() const { return LastTerminalBlock(ReadFile(serverOut)); }

    // Stops the server the normal way and checks its exit.
    void StopServer() {
        server.Signal(SIGTERM);
        EXPECT_EQ(server.Wait(kLong), std::optional<int>(0)) << ReadFile(serverOut);
    }

    fs::path work, html, serverOut;
    uint16_t port = 0;
    uint16_t httpPort = 0;  // the web dashboard's port; 0: no dashboard
    std::vector<std::pair<std::string, std::string>> serverEnv;  // more test-only variables for the server
    int quietMs = 1000;
    int serverStarts = 0;
    Child server;
    std::vector<Child> nodes;
};

// The final state of three nodes sharing frames 1-30, two passes per frame: ten frames, 20 passes each.
const std::vector<HtmlCpu> kThreeNodesDone = {{1, 1, 10, 20}, {2, 1, 20, 20}, {3, 1, 30, 20}};
const NodeSpec kThreeNodes[] = {{1, 1, 10, 0}, {2, 11, 20, 0}, {3, 21, 30, 0}};

void ExpectOneJobOfThreeDone(const std::string &html) {
    const std::vector<HtmlJob> jobs = HtmlJobs(html);
    ASSERT_EQ(jobs.size(), 1u) << html;
    EXPECT_EQ(jobs[0], (HtmlJob{3, 60, 60})) << "CPUs, passes rendered, total passes: " << jobs[0].cpus << ", "
                                              << jobs[0].done << ", " << jobs[0].total;
}

// --- 1. The server killed with SIGKILL and started again ---

TEST_F(Faults, ServerKilledMidRenderAndRestarted) {
    quietMs = 1500;
    constexpr int kPassMs = 150;
    StartServer();
    for (NodeSpec n : kThreeNodes) {
        n.passMs = kPassMs;
        StartNode(n, 30);
    }
    auto allRendering = [&] {
        const auto rows = HtmlCpuRows(Html());
        return rows.size() == 3 && std::all_of(rows.begin(), rows.end(), [](const HtmlCpu &r) { return r.passes >= 3; });
    };
    ASSERT_TRUE(PollUntil(allRendering, kLong)) << Describe(HtmlCpuRows(Html()));

    // Mid-render: every CPU is back within the quiet time-out plus one pass.
    server.Signal(SIGKILL);
    ASSERT_EQ(server.Wait(kLong), std::optional<int>(128 + SIGKILL));
    fs::remove(html);
    std::this_thread::sleep_for(300ms);
    const auto restarted = Clock::now();
    StartServer();
    ASSERT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()).size() == 3; }, kLong)) << Describe(HtmlCpuRows(Html()));
    const int64_t midRender = MsSince(restarted);

    // The render goes on to its exact end.
    ASSERT_TRUE(PollUntil([&] { return RowsAre(kThreeNodesDone); }, kLong)) << Describe(HtmlCpuRows(Html()));
    ExpectOneJobOfThreeDone(Html());

    // Killed again while the nodes sit idle after their last frame: only the quiet
    // time-out can bring them back, each with its latest state.
    server.Signal(SIGKILL);
    ASSERT_EQ(server.Wait(kLong), std::optional<int>(128 + SIGKILL));
    fs::remove(html);
    std::this_thread::sleep_for(300ms);
    const auto restartedIdle = Clock::now();
    StartServer();
    ASSERT_TRUE(PollUntil([&] { return RowsAre(kThreeNodesDone); }, kLong)) << Describe(HtmlCpuRows(Html()));
    const int64_t idle = MsSince(restartedIdle);
    ExpectOneJobOfThreeDone(Html());
    const auto stats = ReadStats(work / "stats");
    EXPECT_EQ(stats.at("clients"), "3") << "a connection from before the kill is still counted";
    EXPECT_EQ(stats.at("messagesRejected"), "0");
    EXPECT_EQ(Terminal()["Active CPUs"], "3");
    EXPECT_EQ(Terminal()["Passes Rendered"], "60");

    // Bound: quiet time-out plus one pass, and room for starting a sanitizer build of the server.
    const int64_t bound = quietMs + kPassMs + 3000;
    EXPECT_LE(midRender, bound) << "mid-render reconnection took " << midRender << " ms";
    EXPECT_LE(idle, bound) << "idle reconnection took " << idle << " ms";
    std::printf("back after restart: mid-render %lld ms, idle %lld ms (quiet time-out %d ms, pass %d ms)\n",
                static_cast<long long>(midRender), static_cast<long long>(idle), quietMs, kPassMs);

    ReleaseNodes();
    EXPECT_TRUE(PollUntil([&] { return Html().find("No render in progress") != std::string::npos; }, kLong));
    StopServer();
}

// --- 2. A link that stalls: a TCP proxy that accepts but does not forward until healed ---

class Proxy {
public:
    explicit Proxy(uint16_t target) : target_(target) {
        listener_ = NetListen(0, 64, false);
        // A small receive window, inherited by accepted connections: a stalled link fills within a few messages.
        const int window = 4096;
        setsockopt(static_cast<int>(listener_), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        port_ = NetLocalPort(listener_);
        NetSetNonBlocking(listener_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Proxy() {
        stop_ = true;
        thread_.join();
        for (Pair &p : pairs_) {
            close(p.client);
            if (p.upstream >= 0) close(p.upstream);
        }
        NetClose(listener_);
    }
    uint16_t Port() const { return port_; }
    void Heal() { healed_ = true; }
    size_t Accepted() const { return accepted_; }
    // Bytes the stalled connections hold unread, across all of them.
    size_t Unread() {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t total = 0;
        for (const Pair &p : pairs_) {
            int n = 0;
            if (p.upstream < 0 && ioctl(p.client, FIONREAD, &n) == 0) total += static_cast<size_t>(n);
        }
        return total;
    }

private:
    struct Pair {
        int client;
        int upstream = -1;
        bool done = false;
    };

    int Connect() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(target_);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Copies what the client sent to the server; false once the client is finished.
    static bool Pump(Pair &p) {
        char buffer[16384];
        for (;;) {
            const ssize_t n = recv(p.client, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) return false;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            for (ssize_t sent = 0; sent < n;) {
                const ssize_t k = send(p.upstream, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
                if (k <= 0) return false;
                sent += k;
            }
        }
    }

    void Run() {
        while (!stop_) {
            for (;;) {
                const NetSocket s = NetAccept(listener_);
                if (s == kNoNetSocket) break;
                std::lock_guard<std::mutex> lock(mutex_);
                pairs_.push_back(Pair{static_cast<int>(s)});
                ++accepted_;
            }
            if (healed_) {
                // In order of acceptance, so the server sees the connections as the plug-in made them.
                std::lock_guard<std::mutex> lock(mutex_);
                for (Pair &p : pairs_) {
                    if (p.done) continue;
                    if (p.upstream < 0) p.upstream = Connect();
                    if (p.upstream < 0 || !Pump(p)) {
                        p.done = true;
                        close(p.client);
                        if (p.upstream >= 0) shutdown(p.upstream, SHUT_WR);
                    }
                }
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    uint16_t target_;
    NetSocket listener_ = kNoNetSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, healed_{false};
    std::atomic<size_t> accepted_{0};
    std::mutex mutex_;
    std::vector<Pair> pairs_;
    std::thread thread_;
};

// Wall time of a quick render node run of passes passes through the given port.
int64_t QuickRender(const fs::path &work, int node, uint16_t port, int passes) {
    const auto start = Clock::now();
    Child run({Programs::HostSim(), "--plugin", Programs::Plugin(), "--node", std::to_string(node), "--server",
               "127.0.0.1", "--scene-name", "quick", "--first", "1", "--last", std::to_string(passes), "--passes", "1",
               "--pass-ms", "0", "--evaluates", "1", "--quiet"},
              {{"PELLICK_TEST_PORT", std::to_string(port)}, {"PELLICK_TEST_QUIET_MS", "1000"}},
              work / ("quick" + std::to_string(node) + ".out"));
    const std::optional<int> status = run.Wait(kLong);
    EXPECT_EQ(status, std::optional<int>(0)) << "quick render " << node;
    return MsSince(start);
}

TEST_F(Faults, StalledLinkNeitherSlowsTheRenderNorLosesTheLatestState) {
    StartServer();
    constexpr int kPasses = 2000000;
    // The render thread's cost: the same render straight to the server, then into a stalled link.
    const int64_t direct = QuickRender(work, 7, port, kPasses);
    Proxy stalledQuick(port);
    const int64_t stalled = QuickRender(work, 8, stalledQuick.Port(), kPasses);
    std::printf("%d passes: %lld ms with the server reading, %lld ms into a stalled link (%zu connections, %zu bytes held)\n",
                kPasses, static_cast<long long>(direct), static_cast<long long>(stalled), stalledQuick.Accepted(),
                stalledQuick.Unread());
    EXPECT_LE(stalled, 3 * direct + 2000) << "the render slowed down behind a stalled link";
    EXPECT_GE(stalledQuick.Accepted(), 2u) << "the stalled link never filled, so no send met it";

    // A held run renders into the stalled link; once healed, its latest state reaches the server.
    Proxy proxy(port);
    quietMs = 500;
    for (NodeSpec n : kThreeNodes) {
        n.passMs = 20;
        StartNode(n, 30, "127.0.0.1", proxy.Port());
    }
    // Done rendering (20 passes of 20 ms) and nothing more arriving at the proxy.
    size_t held = 0;
    ASSERT_TRUE(PollUntil(
        [&] {
            const size_t now = proxy.Unread();
            const bool settled = now == held && now >= 3 * kMessageLength;
            held = now;
            return settled;
        },
        kLong, 1500ms));
    EXPECT_TRUE(HtmlCpuRows(Html()).empty()) << "data went through a stalled link";
    const auto healed = Clock::now();
    proxy.Heal();
    ASSERT_TRUE(PollUntil([&] { return RowsAre(kThreeNodesDone); }, kLong)) << Describe(HtmlCpuRows(Html()));
    std::printf("latest state at the server %lld ms after the link healed\n", static_cast<long long>(MsSince(healed)));
    ExpectOneJobOfThreeDone(Html());
    EXPECT_EQ(ReadStats(work / "stats").at("messagesRejected"), "0");
    ReleaseNodes();
    StopServer();
}

// --- 3. Hostile connections beside the real CPUs ---

int ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A valid message claiming a CPU of the job, with passes the real node never reports.
std::vector<uint8_t> Impostor(int32_t cpuIndex, const fs::path &sceneFile) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof RecordSignature);
    std::strcpy(r.sceneName, "shot");
    std::strncpy(r.sceneFile, sceneFile.c_str(), sizeof r.sceneFile - 1);
    r.cpuIndex = cpuIndex;
    r.passesDone = 999;
    r.totalPasses = 999;
    r.currentFrame = 999;
    std::vector<uint8_t> m(kMessageLength);
    EncodeRecord(r, kFieldTable, m);
    return m;
}

TEST_F(Faults, HostileConnectionsLeaveTheOtherCpusExact) {
    StartServer();
    for (NodeSpec n : kThreeNodes) {
        n.passMs = 150;
        StartNode(n, 30);
    }
    ASSERT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()).size() == 3; }, kLong)) << Describe(HtmlCpuRows(Html()));

    // Connections that say nothing.
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(ConnectTo(port));
    // Garbage: ten whole messages' worth in odd-sized pieces, never starting with the signature.
    const int garbage = ConnectTo(port);
    std::vector<uint8_t> junk(10 * kMessageLength);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
    for (size_t at = 0; at < junk.size();) {
        const size_t piece = std::min<size_t>(junk.size() - at, 1 + at % 977);
        ASSERT_TRUE(SendAll(garbage, junk.data() + at, piece));
        at += piece;
    }
    // A whole message that claims CPU 2 with a wrong signature.
    std::vector<uint8_t> badSignature = Impostor(1, work / "shot.scn");
    badSignature[15] ^= 0xFF;
    const int forger = ConnectTo(port);
    ASSERT_TRUE(SendAll(forger, badSignature.data(), badSignature.size()));
    // Impostors that close mid-message, again and again.
    const std::vector<uint8_t> impostor = Impostor(1, work / "shot.scn");
    for (int i = 0; i < 5; ++i) {
        const int fd = ConnectTo(port);
        ASSERT_TRUE(SendAll(fd, impostor.data(), 400 + 50 * static_cast<size_t>(i)));
        close(fd);
    }
    // One byte per second: an impostor's message and garbage, far too slow to ever finish one.
    std::atomic<bool> trickling{true}, connected{false};
    std::thread trickle([&] {
        const int slowImpostor = ConnectTo(port), slowGarbage = ConnectTo(port);
        connected = true;
        for (size_t i = 0; trickling.load(); ++i) {
            SendAll(slowImpostor, &impostor[i % impostor.size()], 1);
            SendAll(slowGarbage, &junk[i % junk.size()], 1);
            for (int t = 0; t < 10 && trickling.load(); ++t) std::this_thread::sleep_for(100ms);
        }
        close(slowImpostor);
        close(slowGarbage);
    });

    ASSERT_TRUE(PollUntil([&] { return connected.load(); }, kLong));
    // The three CPUs render on to their exact end, as if nothing happened.
    const bool exact = PollUntil([&] { return RowsAre(kThreeNodesDone); }, kLong);
    const std::string finalHtml = Html();
    // The refresh that wrote the file prints the terminal block just after it.
    PollUntil([&] { return Terminal()["Passes Rendered"] == "60"; }, 5s);
    const auto terminal = Terminal();
    const auto stats = ReadStats(work / "stats");
    trickling = false;
    trickle.join();
    ASSERT_TRUE(exact) << Describe(HtmlCpuRows(finalHtml));
    ExpectOneJobOfThreeDone(finalHtml);
    EXPECT_EQ(HtmlEmptyRows(finalHtml), 7u) << "silent, garbage, forger and trickling connections show as empty rows";
    EXPECT_EQ(terminal.at("Active CPUs"), "3");
    EXPECT_EQ(terminal.at("Passes Rendered"), "60");
    EXPECT_EQ(terminal.at("Total Passes"), "60");
    EXPECT_EQ(stats.at("messagesRejected"), "11") << "ten garbage messages and the forged one";
    EXPECT_EQ(stats.at("clients"), "10");

    for (int fd : silent) close(fd);
    close(garbage);
    close(forger);
    EXPECT_TRUE(PollUntil([&] { return ReadStats(work / "stats").at("clients") == "3"; }, kLong))
        << "hostile connections were not dropped when they closed";
    ReleaseNodes();
    StopServer();
}

// --- 4. The HTML folder vanishes or cannot be written ---

TEST_F(Faults, HtmlFolderRemovedOrUnwritable) {
    httpPort = FreePort();
    StartServer();
    // A server built with the web dashboard serves it on the test port; then it must keep updating too.
    const bool dashboard = PollUntil([&] { return HttpGet(httpPort, "/status.json").has_value(); }, 5s);
    if (!dashboard) std::printf("this pellicksrv serves no dashboard: checking the terminal view and the file only\n");
    quietMs = 1000;
    for (NodeSpec n : {NodeSpec{1, 1, 60, 100}, NodeSpec{2, 61, 120, 100}}) StartNode(n, 120);
    ASSERT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()).size() == 2; }, kLong));
    const fs::path site = html.parent_path();

    auto passesShown = [&] {
        const auto t = Terminal();
        const auto it = t.find("Passes Rendered");
        return it == t.end() || it->second.empty() ? 0ull : std::stoull(it->second);
    };
    // The dashboard's count of passes rendered.
    auto passesServed = [&] {
        const std::optional<std::string> json = HttpGet(httpPort, "/status.json");
        return json ? JsonNumberAfter(*json, "\"overall\"", "passesDone").value_or(0) : 0;
    };
    // While writes fail the server stays up and its view and dashboard keep moving.
    auto keepsUpdating = [&](const char *what) {
        const unsigned long long before = passesShown();
        const uint64_t served = passesServed();
        EXPECT_TRUE(PollUntil([&] { return passesShown() >= before + 3; }, kLong)) << what << ": the view stopped";
        if (dashboard) {
            EXPECT_TRUE(PollUntil([&] { return passesServed() >= served + 3; }, kLong)) << what << ": the dashboard stopped";
        }
        EXPECT_TRUE(server.Running()) << what << ": the server ended: " << ReadFile(serverOut);
        EXPECT_FALSE(fs::exists(html)) << what;
    };
    // Once writable again the file comes back with the current state.
    auto comesBack = [&](const char *what) {
        const unsigned long long shown = passesShown();
        EXPECT_TRUE(PollUntil(
            [&] {
                uint64_t sum = 0;
                for (const HtmlCpu &r : HtmlCpuRows(Html())) sum += r.passes;
                return sum >= shown;
            },
            kLong))
            << what << ": the HTML file did not come back";
    };
    auto noTemporaries = [&](const char *what) {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(site, ec))
            EXPECT_EQ(entry.path().filename(), "status.htm") << what << ": left behind";
    };

    // The server may create its temporary file while the folder is being
    // emptied: remove again until the folder is gone.
    auto removeAll = [](const fs::path &p) {
        std::error_code ec;
        for (int i = 0; i < 200 && (fs::remove_all(p, ec), ec); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(ec) << p << ": " << ec.message();
    };

    removeAll(site);
    keepsUpdating("folder removed");
    fs::create_directories(site);
    comesBack("folder made again");

    removeAll(site);
    WriteFile(site, "a file where the folder was");
    keepsUpdating("folder replaced by a file");
    fs::remove(site);
    fs::create_directories(site);
    comesBack("folder back after the file");

    // The file's own name taken by a folder: the replacing rename fails.
    fs::remove(html);
    fs::create_directories(html);
    const unsigned long long before = passesShown();
    EXPECT_TRUE(PollUntil([&] { return passesShown() >= before + 3; }, kLong)) << "the view stopped";
    EXPECT_TRUE(server.Running());
    EXPECT_TRUE(fs::is_directory(html));
    noTemporaries("HTML path taken by a folder");
    removeAll(html);
    comesBack("folder in the file's place removed");
    noTemporaries("after recovery");

    ASSERT_TRUE(PollUntil([&] { return RowsAre({{1, 1, 60, 120}, {2, 1, 120, 120}}); }, kLong))
        << Describe(HtmlCpuRows(Html()));
    ReleaseNodes();
    StopServer();
}

// --- 5. Settings files of every wrong shape ---

// Sends one status message whose recent pass time of 2^32 ticks (429.4967296 s) shows MaxScale and
// Resolution; returns the connection, kept open so the CPU stays on show.
int SendProbeMessage(uint16_t port) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof RecordSignature);
    std::strcpy(r.sceneName, "probe");
    r.passesDone = 1;
    r.totalPasses = 4;
    r.recentPassTime = int64_t{1} << 32;
    std::vector<uint8_t> m(kMessageLength);
    EncodeRecord(r, kFieldTable, m);
    const int fd = ConnectTo(port);
    if (fd >= 0 && !SendAll(fd, m.data(), m.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Faults, SettingsFilesOfEveryWrongShapeGiveDefaults) {
    const std::string kDefault = "7:09.4967";  // MaxScale 3 (days), Resolution 4
    const std::string longPath = (work / std::string(300, 'p')).string();
    static const char kNulValues[] = "MaxScale=1\0\nResolution=2\0x\n";
    struct Case {
        const char *what;
        std::string ini;          // settings.ini content
        bool iniIsFolder = false;
        std::string recentTime;   // what "Recent Time/Pass" must show
    };
    std::string binary;
    for (int i = 0; i < 600; ++i) binary += static_cast<char>((i * 37 + 11) % 256);
    const Case cases[] = {
        {"valid values (the control)", "MaxScale=0\nResolution=2\n", false, "429.49"},
        {"valid with blanks, case and CRLF", " maxscale = 1 \r\nRESOLUTION=\t1\r\n", false, "7:09.4"},
        {"empty file", "", false, kDefault},
        {"binary bytes", binary, false, kDefault},
        {"NUL bytes inside values", std::string(kNulValues, sizeof kNulValues - 1), false, kDefault},
        {"out of range", "MaxScale=4\nResolution=-1\n", false, kDefault},
        {"not decimal numbers", "MaxScale=0x1\nResolution=2.0\n", false, kDefault},
        {"numbers past 64 bits", "MaxScale=99999999999999999999999\nResolution=-99999999999999999999\n", false, kDefault},
        {"empty values", "MaxScale=\nResolution=\n", false, kDefault},
        {"names without values", "MaxScale\nResolution\n", false, kDefault},
        {"byte order mark before the name", "\xEF\xBB\xBFMaxScale=1\n", false, kDefault},
        {"HTML path longer than a path", "HTML=" + longPath + "\n", false, kDefault},
        {"HTML path that is a folder", "HTML=" + html.parent_path().string() + "\n", false, kDefault},
        {"a line of 100000 bytes", "MaxScale=" + std::string(100000, '1') + "\n", false, kDefault},
        {"settings file larger than 1 MiB", std::string(1100000, '\n') + "MaxScale=1\n", false, kDefault},
        {"settings file is a folder", "", true, kDefault},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path ini = work / "config/Zandrel/Pellick/settings.ini";
        fs::remove_all(ini);
        if (c.iniIsFolder) {
            fs::create_directories(ini);
        } else {
            WriteIni(c.ini);
        }
        StartServer();
        const int probe = SendProbeMessage(port);
        ASSERT_GE(probe, 0);
        ASSERT_TRUE(PollUntil([&] { return Terminal()["Active CPUs"] == "1" || !server.Running(); }, kLong));
        EXPECT_TRUE(server.Running()) << ReadFile(serverOut);
        EXPECT_TRUE(PollUntil([&] { return Terminal()["Recent Time/Pass"] == c.recentTime; }, 5s))
            << "Recent Time/Pass shows \"" << Terminal()["Recent Time/Pass"] << "\", want \"" << c.recentTime << "\"";
        close(probe);
        StopServer();
    }
    // The folder case: the server took no settings and wrote nothing in place of the folder.
    EXPECT_TRUE(fs::is_directory(work / "config/Zandrel/Pellick/settings.ini"));
}

// --- A CPU whose machine vanished, and a CPU gone silent ---

// One CPU's status connection, with its records written by hand: job "shot", 1000 passes.
struct RawCpu {
    NetSocket socket = kNoNetSocket;
    StatusRecord record{};

    RawCpu(int32_t cpu, int64_t recentSeconds) {
        std::memcpy(record.signature, RecordSignature, sizeof RecordSignature);
        record.socket = kNoNetSocket;
        record.cpuIndex = cpu;
        std::strcpy(record.sceneName, "shot");
        std::strcpy(record.sceneFile, "/scenes/shot.scn");
        record.sceneFirstFrame = 1;
        record.sceneLastFrame = 100;
        record.sceneFrameStep = 1;
        record.totalPasses = 1000;
        record.passesPerFrame = 10;
        record.passesPerFrameFixed = 1;
        record.recentPassTime = record.lastPassTime = recentSeconds * static_cast<int64_t>(kTicksPerSecond);
        record.startTime = NowFileTime() - 600 * kTicksPerSecond;
        record.elapsedTime = 600 * static_cast<int64_t>(kTicksPerSecond);
        record.currentFrame = record.firstRenderedFrame = 1;
    }
    ~RawCpu() {
        if (socket != kNoNetSocket) NetClose(socket);
    }
    bool Connect(uint16_t port) {
        uint32_t addr = 0;
        socket = NetOpenTcp();
        return socket != kNoNetSocket && NetResolveIPv4("127.0.0.1", &addr) && NetConnect(socket, addr, port, 5000);
    }
    // One pass more, reported.
    bool Report() {
        record.passesDone += 1;
        uint8_t message[kMessageLength];
        if (EncodeRecord(record, kFieldTable, message) != kMessageLength) return false;
        return NetSend(socket, message, sizeof message) == static_cast<long>(sizeof message);
    }
};

// The text of the job's "Recent Throughput" row in the HTML fragment, empty when there is none.
std::string HtmlThroughput(const std::string &html) {
    const std::string row = "<tr><td>Recent Throughput</td><td>";
    const size_t at = html.find(row);
    if (at == std::string::npos) return "";
    const size_t from = at + row.size();
    return html.substr(from, html.find("</td>", from) - from);
}

// Runs a shell command line; true when it exited with 0.
bool Shell(const std::string &line) {
    const int rc = std::system(line.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// A peer whose every packet vanishes (power lost, cable pulled) leaves the
// report once keepalive gives up on it; a quiet but live CPU, whose kernel
// answers the probes, stays. In a private network namespace, so dropping
// packets on its loopback touches nothing else.
TEST_F(Faults, VanishedPeerLeavesTheReportAndALiveCpuStays) {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a private network namespace";
    ASSERT_TRUE(Shell("ip link set lo up"));
    constexpr int kPeerSeconds = 3;  // keepalive: idle 3 s, a probe every 1 s, 3 probes: about 6 s
    serverEnv = {{"PELLICK_TEST_PEER_SECONDS", std::to_string(kPeerSeconds)}};
    StartServer();
    RawCpu live(0, 60), lost(1, 60);  // minute-long passes: nothing to send for a while
    ASSERT_TRUE(live.Connect(port) && lost.Connect(port));
    ASSERT_TRUE(live.Report() && lost.Report());
    ASSERT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()).size() == 2; }, kLong)) << Html();

    const std::string lostPort = std::to_string(NetLocalPort(lost.socket));
    const char *const drop[] = {
        "tc qdisc add dev lo root handle 1: htb default 10 r2q 1000000",
        "tc class add dev lo parent 1: classid 1:10 htb rate 10gbit",
        "tc class add dev lo parent 1: classid 1:20 htb rate 8bit ceil 8bit",
        "tc qdisc add dev lo parent 1:20 handle 20: pfifo limit 0",
    };
    for (const char *line : drop) ASSERT_TRUE(Shell(line)) << line;
    // Only what the peer sends is dropped: a drop of the server's own packets
    // happens in its own kernel, which takes it for local congestion and
    // retries without counting probes, where a real lost peer's are lost on
    // the way. For the server both look the same: nothing ever comes back.
    ASSERT_TRUE(Shell("tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport " + lostPort +
                      " 0xffff flowid 1:20"));
    const Clock::time_point cut = Clock::now();
    const auto onlyLive = [&] { return HtmlCpuRows(Html()) == std::vector<HtmlCpu>{{1, 1, 1, 1}}; };
    ASSERT_TRUE(PollUntil(onlyLive, kLong)) << Html();
    const int64_t gone = MsSince(cut);
    std::printf("the vanished peer left the report %lld ms after its packets stopped\n", static_cast<long long>(gone));
    // Idle + probes, plus the server's batching and a loaded machine.
    EXPECT_LE(gone, (2 * kPeerSeconds + 6) * 1000) << "the vanished peer left after " << gone << " ms";
    EXPECT_GE(gone, kPeerSeconds * 1000) << "gone before keepalive could have given up";
    EXPECT_TRUE(PollUntil([&] { return ReadStats(work / "stats")["clients"] == "1"; }, 5s)) << "its connection is closed";
    // Several keepalive rounds later the live CPU is still there.
    std::this_thread::sleep_for(std::chrono::seconds(3 * kPeerSeconds));
    EXPECT_TRUE(onlyLive()) << Html();
    EXPECT_TRUE(live.Report());
    EXPECT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()) == std::vector<HtmlCpu>{{1, 1, 1, 2}}; }, kLong)) << Html();
}

// With StallSeconds=10 a CPU that goes silent is marked stalled and leaves the
// throughput, while staying in the tables; its next message brings it back.
TEST_F(Faults, SilentCpuIsStalledAndOutOfTheThroughputUntilItReports) {
    WriteIni("HTML=" + html.string() + "\nStallSeconds=10\n");
    httpPort = FreePort();
    StartServer();
    RawCpu steady(0, 2), silent(1, 2);  // two-second passes: 3 x 2 s is below the stall time
    ASSERT_TRUE(steady.Connect(port) && silent.Connect(port));
    ASSERT_TRUE(steady.Report() && silent.Report());
    const Clock::time_point silentSince = Clock::now();
    ASSERT_TRUE(PollUntil([&] { return HtmlCpuRows(Html()).size() == 2; }, kLong)) << Html();
    EXPECT_EQ(HtmlThroughput(Html()), "1.0000") << "two CPUs of 2 s per pass";

    const auto status = [&] {
        const std::optional<std::string> text = HttpGet(httpPort, "/status.json");
        return text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    };
    const auto silentStalled = [&](const nlohmann::json &doc) {
        return doc.is_object() && doc["cpus"].size() == 2 && doc["cpus"][1]["stalled"] == true;
    };
    // The steady CPU reports every second; the other says nothing.
    nlohmann::json doc;
    while (MsSince(silentSince) < 30000) {
        ASSERT_TRUE(steady.Report());
        doc = status();
        if (silentStalled(doc)) break;
        ASSERT_LT(MsSince(silentSince), 10000 + 200) << "stalled before the stall time: " << doc.dump();
        std::this_thread::sleep_for(1s);
    }
    ASSERT_TRUE(silentStalled(doc)) << doc.dump();
    EXPECT_LE(MsSince(silentSince), 10000 + 5000) << "the once-a-second check should have seen it";
    EXPECT_EQ(doc["cpus"][0]["stalled"], false);
    EXPECT_EQ(doc["jobs"][0]["stalledCpus"], 1);
    EXPECT_EQ(doc["jobs"][0]["cpus"], 2);
    EXPECT_EQ(doc["overall"]["stalledCpus"], 1);
    EXPECT_EQ(doc["overall"]["activeCpus"], 2);
    ASSERT_TRUE(PollUntil([&] { return HtmlThroughput(Html()) == "2.0000"; }, 5s)) << "the steady CPU alone: " << Html();
    EXPECT_EQ(HtmlCpuRows(Html()).size(), 2u) << "it stays in the table";
    const std::optional<std::string> metrics = HttpGet(httpPort, "/metrics");
    ASSERT_TRUE(metrics.has_value());
    EXPECT_NE(metrics->find("pellick_job_stalled_cpus{job_number=\"1\""), std::string::npos) << *metrics;

    ASSERT_TRUE(silent.Report());
    EXPECT_TRUE(PollUntil([&] { return HtmlThroughput(Html()) == "1.0000"; }, 5s)) << "back in: " << Html();
    doc = status();
    EXPECT_EQ(doc["cpus"][1]["stalled"], false) << doc.dump();
    EXPECT_EQ(doc["overall"]["stalledCpus"], 0);
}

// --- 8. The run history through kills and restarts ---

std::string IntegrityCheck(const fs::path &db) {
    sqlite3 *h = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
            result = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(h);
    return result;
}

TEST_F(Faults, RunHistoryKeepsEveryRunThroughKillsAndRestarts) {
    const fs::path db = work / "data" / "history.sqlite3";
    serverEnv = {{"PELLICK_TEST_HISTORY", db.string()}};
    httpPort = FreePort();
    quietMs = 1000;
    StartServer();
    auto runs = [&] {
        const std::optional<std::string> body = HttpGet(httpPort, "/history.json?limit=10");
        return body ? nlohmann::json::parse(*body)["runs"] : nlohmann::json::array();
    };
    auto newest = [&](const char *outcome, uint64_t passes) {
        const nlohmann::json r = runs();
        return !r.empty() && r[0]["outcome"] == outcome && r[0]["passesDone"] == passes;
    };
    for (NodeSpec n : kThreeNodes) {
        n.passMs = 120;
        StartNode(n, 30);
    }
    ASSERT_TRUE(PollUntil([&] { return !runs().empty() && runs()[0]["passesDone"] >= 9; }, kLong)) << runs().dump();
    const int64_t run = runs()[0]["run"];

    // Killed while the run is being written: the file stays whole and the run goes on after the restart.
    server.Signal(SIGKILL);
    ASSERT_EQ(server.Wait(kLong), std::optional<int>(128 + SIGKILL));
    EXPECT_EQ(IntegrityCheck(db), "ok");
    StartServer();
    ASSERT_TRUE(PollUntil([&] { return newest("complete", 60); }, kLong)) << runs().dump();
    nlohmann::json done = runs()[0];
    EXPECT_EQ(done["run"], run) << "continued, not a new run: " << runs().dump();
    EXPECT_EQ(runs().size(), 1u);
    EXPECT_EQ(done["totalPasses"], 60);
    EXPECT_EQ(done["peakCpus"], 3);
    EXPECT_EQ(done["sceneName"], "shot");
    ASSERT_EQ(done["forecasts"].size(), 5u) << done.dump();
    size_t scored = 0;
    for (const auto &f : done["forecasts"]) scored += f["errorRatio"].is_number();
    EXPECT_GE(scored, 1u) << done.dump();
    EXPECT_TRUE(done["meanAbsErrorRatio"].is_number()) << done.dump();

    // Killed after the end: the finished run is still there, unchanged.
    server.Signal(SIGKILL);
    ASSERT_EQ(server.Wait(kLong), std::optional<int>(128 + SIGKILL));
    EXPECT_EQ(IntegrityCheck(db), "ok");
    StartServer();
    ASSERT_TRUE(PollUntil([&] { return newest("complete", 60); }, kLong)) << runs().dump();
    EXPECT_EQ(runs()[0]["end"], done["end"]);
    EXPECT_EQ(runs()[0]["forecasts"], done["forecasts"]);

    // A node killed before its frames are done: its run is interrupted.
    WriteFile(work / "other.scn", std::string(100, '\0'));
    StartNode(NodeSpec{4, 1, 50, 100}, 50, "127.0.0.1", 0, "other");
    ASSERT_TRUE(PollUntil([&] { return !runs().empty() && runs()[0]["sceneName"] == "other" && runs()[0]["passesDone"] >= 2; }, kLong))
        << runs().dump();
    nodes.back().Signal(SIGKILL);
    nodes.back().Wait(kLong);
    nodes.pop_back();
    ASSERT_TRUE(PollUntil([&] { return !runs().empty() && runs()[0]["outcome"] == "interrupted"; }, kLong)) << runs().dump();
    const std::optional<std::string> metrics = HttpGet(httpPort, "/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->find("pellick_jobs_finished_total{outcome=\"interrupted\"} 1\n"), std::string::npos) << *metrics;
    ReleaseNodes();
    StopServer();
    EXPECT_EQ(IntegrityCheck(db), "ok");

    // A file where the history's folder should be: history off, said once, the server runs on.
    WriteFile(work / "blocked", "");
    serverEnv = {{"PELLICK_TEST_HISTORY", (work / "blocked" / "history.sqlite3").string()}};
    StartServer();
    EXPECT_NE(ReadFile(serverOut).find("pellicksrv: history off: cannot make the folder"), std::string::npos)
        << ReadFile(serverOut);
    ASSERT_TRUE(PollUntil([&] { return HttpGet(httpPort, "/history.json").has_value(); }, kLong));
    EXPECT_EQ(nlohmann::json::parse(*HttpGet(httpPort, "/history.json"))["stored"], false);
    StopServer();
}

}  // namespace
