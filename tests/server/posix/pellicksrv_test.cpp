// Tests of the Linux pellicksrv process over real sockets: many clients, counters, output, busy port, stop signals.
#include "net.h"
#include "status_record.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <pty.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 30s;  // generous: sanitizer builds on a busy machine

std::string ReadFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path &p, const std::string &text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = kDeadline) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

// A private folder with the server's settings (HTML output into the folder) and outputs.
struct Sandbox {
    fs::path dir;
    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "pellicksrv-test-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        WriteFile(Config() / "Zandrel/Pellick/settings.ini", "HTML=" + Html().string() + "\n");
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path Config() const { return dir / "config"; }
    fs::path Html() const { return dir / "status.html"; }
    fs::path Stats() const { return dir / "stats"; }
    fs::path Out() const { return dir / "stdout"; }
    fs::path Err() const { return dir / "stderr"; }

    std::map<std::string, std::string> ReadStats() const {
        std::map<std::string, std::string> m;
        std::istringstream in(ReadFile(Stats()));
        for (std::string line; std::getline(in, line);) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return m;
    }
};

// A port nobody listens on right now.
uint16_t FreePort() {
    NetSocket s = NetListen(0, 1, false);
    uint16_t port = NetLocalPort(s);
    NetClose(s);
    return port;
}

struct Server {
    pid_t pid = -1;
    std::optional<int> exitStatus;

    // Starts pellicksrv with its settings in box, on port; stdoutFd replaces the stdout file when >= 0.
    // testPorts, when given, are the PELLICK_TEST_* lines in place of the one naming port.
    Server(const Sandbox &box, uint16_t port, std::vector<std::string> args, int stdoutFd = -1,
           std::optional<std::vector<std::string>> testPorts = std::nullopt) {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("PELLICK_TEST_", 0) && v.rfind("XDG_CONFIG_HOME=", 0)) env.push_back(v);
        }
        if (testPorts) {
            env.insert(env.end(), testPorts->begin(), testPorts->end());
        } else {
            env.push_back("PELLICK_TEST_PORT=" + std::to_string(port));
        }
        env.push_back("XDG_CONFIG_HOME=" + box.Config().string());
        args.insert(args.begin(), PELLICKSRV_PATH);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&fa, 1, box.Out().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, box.Err().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv, envp;
        for (auto &a : args) argv.push_back(a.data());
        for (auto &e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int rc = posix_spawn(&pid, PELLICKSRV_PATH, &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(rc, 0) << "cannot start " << PELLICKSRV_PATH;
        if (rc != 0) pid = -1;
    }
    ~Server() {
        if (pid > 0 && !exitStatus) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool Exited() {
        if (exitStatus) return true;
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, WNOHANG) == pid) exitStatus = st;
        return exitStatus.has_value();
    }
    // Exit code after a normal exit, -1 otherwise (killed, or still running after the deadline).
    int WaitExit() {
        if (!WaitFor([&] { return Exited(); })) return -1;
        return WIFEXITED(*exitStatus) ? WEXITSTATUS(*exitStatus) : -1;
    }
    int Stop(int sig) {
        kill(pid, sig);
        return WaitExit();
    }
};

int ConnectOnce(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Connects, retrying while the server is still starting.
int Connect(uint16_t port) {
    int fd = -1;
    WaitFor([&] { return (fd = ConnectOnce(port)) >= 0; });
    return fd;
}

bool SendAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> Message(int32_t cpu, uint32_t passesDone, bool valid) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof RecordSignature);
    r.cpuIndex = cpu;
    r.passesDone = passesDone;
    r.totalPasses = 1000;
    r.passesPerFrame = 1;
    r.recentPassTime = 600000000;
    r.elapsedTime = 600000000LL * passesDone;
    r.startTime = 133000000000000000ULL;
    r.passStartTime = r.startTime + static_cast<uint64_t>(r.elapsedTime);
    std::strcpy(r.sceneName, "farm test");
    std::strcpy(r.sceneFile, "/scenes/farm.scn");
    if (!valid) r.signature[3] ^= 0x40;
    std::vector<uint8_t> m(kMessageLength);
    EncodeRecord(r, kFieldTable, m);
    return m;
}

// The value after label in the last block of the view's output.
std::string LastValue(const std::string &out, const std::string &label) {
    size_t at = out.rfind(label);
    if (at == std::string::npos) return "<missing>";
    size_t start = out.find_first_not_of(' ', at + label.size());
    size_t end = out.find_first_of("\r\n", start);
    return out.substr(start, end - start);
}

TEST(Pellicksrv, TwentyClientsWithRandomChunkingAreCountedExactly) {
    Sandbox box;
    uint16_t port = FreePort();
    Server srv(box, port, {"--print", "--stats-file", box.Stats().string()});

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    constexpr int kClients = 20;
    struct Client {
        int fd = -1;
        std::vector<uint8_t> stream;
        size_t sent = 0;
    };
    std::vector<Client> clients(kClients);
    uint64_t valid = 0, invalid = 0, passesRendered = 0;
    std::vector<bool> reported(kClients);
    for (int i = 0; i < kClients; ++i) {
        Client &c = clients[static_cast<size_t>(i)];
        c.fd = Connect(port);
        ASSERT_GE(c.fd, 0) << "server not accepting on port " << port;
        uint32_t passes = 0, lastGood = 0;
        for (int k = 0, n = 1 + static_cast<int>(rng() % 6); k < n; ++k) {
            bool ok = rng() % 3 != 0;
            auto m = Message(i, ++passes, ok);
            c.stream.insert(c.stream.end(), m.begin(), m.end());
            ok ? (++valid, lastGood = passes) : ++invalid;
        }
        passesRendered += lastGood;
        reported[static_cast<size_t>(i)] = lastGood > 0;
        if (i % 4 == 1) {  // a torn message at the end: counts as nothing
            auto m = Message(i, 999, true);
            c.stream.insert(c.stream.end(), m.begin(), m.begin() + 1 + static_cast<long>(rng() % 748));
        }
    }
    // Interleave the streams in random pieces, now and then letting the server catch up mid-message.
    for (bool left = true; left;) {
        left = false;
        for (Client &c : clients) {
            if (c.sent == c.stream.size() || rng() % 2) {
                left |= c.sent < c.stream.size();
                continue;
            }
            size_t n = std::min<size_t>(c.stream.size() - c.sent, 1 + rng() % 1200);
            ASSERT_TRUE(SendAll(c.fd, c.stream.data() + c.sent, n));
            c.sent += n;
            left |= c.sent < c.stream.size();
            if (rng() % 8 == 0) std::this_thread::sleep_for(1ms);
        }
    }

    auto counted = [&](uint64_t clientsLeft) {
        auto s = box.ReadStats();
        return s["connections"] == std::to_string(kClients) && s["clients"] == std::to_string(clientsLeft) &&
               s["messagesAccepted"] == std::to_string(valid) && s["messagesRejected"] == std::to_string(invalid);
    };
    ASSERT_TRUE(WaitFor([&] { return counted(kClients); })) << ReadFile(box.Stats()) << "want accepted " << valid
                                                            << ", rejected " << invalid;
    const std::string out = ReadFile(box.Out());
    EXPECT_EQ(LastValue(out, "Active CPUs:"), std::to_string(std::count(reported.begin(), reported.end(), true)));
    EXPECT_EQ(LastValue(out, "Passes Rendered:"), std::to_string(passesRendered));
    const std::string html = ReadFile(box.Html());
    for (int i = 0; i < kClients; ++i)
        EXPECT_EQ(html.find("<tr><td>" + std::to_string(i + 1) + "</td><td>1</td>") != std::string::npos,
                  reported[static_cast<size_t>(i)])
            << "row of CPU " << i + 1;

    // Half leave politely, half with a reset.
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i % 2) {
            linger lg{1, 0};
            setsockopt(clients[i].fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(clients[i].fd);
    }
    ASSERT_TRUE(WaitFor([&] { return counted(0); })) << ReadFile(box.Stats());
    EXPECT_EQ(LastValue(ReadFile(box.Out()), "Active CPUs:"), "0");

    EXPECT_EQ(srv.Stop(SIGTERM), 0);
    auto stats = box.ReadStats();
    EXPECT_EQ(stats["state"], "stopped") << "the shutdown sequence ran";
    EXPECT_TRUE(counted(0));
    EXPECT_NE(ReadFile(box.Html()).find("No render in progress"), std::string::npos);
    EXPECT_EQ(ReadFile(box.Err()), "");
}

TEST(Pellicksrv, BusyPortIsOneClearErrorAndLeavesTheHtmlFileAlone) {
    Sandbox box;
    WriteFile(box.Html(), "earlier report");
    NetSocket taken = NetListen(0, 1, false);
    ASSERT_NE(taken, kNoNetSocket);
    uint16_t port = NetLocalPort(taken);

    Server srv(box, port, {"--print"});
    int code = srv.WaitExit();
    NetClose(taken);
    EXPECT_GT(code, 0);
    std::string err = ReadFile(box.Err());
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("port " + std::to_string(port)), std::string::npos) << err;
    EXPECT_NE(err.find("in use"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(box.Out()), "");
    EXPECT_EQ(ReadFile(box.Html()), "earlier report");
}

TEST(Pellicksrv, ATestPortThatIsNotAPortIsOneClearError) {
    const std::string status = "PELLICK_TEST_PORT=" + std::to_string(FreePort());
    struct Case {
        std::vector<std::string> env;
        const char *line;
    };
    const Case cases[] = {
        {{"PELLICK_TEST_PORT=0"}, "pellicksrv: PELLICK_TEST_PORT is not a port number (1 to 65535)\n"},
        {{"PELLICK_TEST_PORT=65536"}, "pellicksrv: PELLICK_TEST_PORT is not a port number (1 to 65535)\n"},
        {{"PELLICK_TEST_PORT=10431x"}, "pellicksrv: PELLICK_TEST_PORT is not a port number (1 to 65535)\n"},
        {{status, "PELLICK_TEST_HTTP_PORT=abc"},
         "pellicksrv: PELLICK_TEST_HTTP_PORT is not a port number (0 to 65535)\n"},
        {{status, "PELLICK_TEST_HTTP_PORT=-1"},
         "pellicksrv: PELLICK_TEST_HTTP_PORT is not a port number (0 to 65535)\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        WriteFile(box.Html(), "earlier report");
        Server srv(box, 0, {"--print"}, -1, c.env);
        EXPECT_EQ(srv.WaitExit(), 1) << c.env.back();
        EXPECT_EQ(ReadFile(box.Err()), c.line) << c.env.back();
        EXPECT_EQ(ReadFile(box.Html()), "earlier report") << c.env.back();
    }
}

TEST(Pellicksrv, PrintsNothingUnlessAskedAndStopsOnInterrupt) {
    Sandbox box;
    uint16_t port = FreePort();
    Server srv(box, port, {"--stats-file", box.Stats().string()});
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    auto m = Message(0, 1, true);
    ASSERT_TRUE(SendAll(fd, m.data(), m.size()));
    ASSERT_TRUE(WaitFor([&] { return box.ReadStats()["messagesAccepted"] == "1"; }));

    EXPECT_EQ(srv.Stop(SIGINT), 0);
    close(fd);
    EXPECT_EQ(ReadFile(box.Out()), "");
    EXPECT_EQ(ReadFile(box.Err()), "");
    EXPECT_EQ(box.ReadStats()["state"], "stopped");
    EXPECT_NE(ReadFile(box.Html()).find("No render in progress"), std::string::npos)
        << "clients still connected at shutdown are closed first";
}

TEST(Pellicksrv, TerminalBlockIsRedrawnInPlace) {
    Sandbox box;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    uint16_t port = FreePort();
    Server srv(box, port, {"--stats-file", box.Stats().string()}, slave);
    close(slave);

    std::string screen;
    auto drain = [&] {
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) screen.append(buf, static_cast<size_t>(n));
    };
    ASSERT_TRUE(WaitFor([&] { drain(); return screen.find("Est Complete at:") != std::string::npos; })) << screen;
    EXPECT_EQ(screen.find("\x1b[10A"), std::string::npos) << "the first block is drawn, not redrawn";

    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    auto m = Message(4, 7, true);
    ASSERT_TRUE(SendAll(fd, m.data(), m.size()));
    ASSERT_TRUE(WaitFor([&] {
        drain();
        return screen.find("\x1b[10A") != std::string::npos && LastValue(screen, "Active CPUs:") == "1";
    })) << screen;
    EXPECT_EQ(LastValue(screen, "Passes Rendered:"), "7");

    EXPECT_EQ(srv.Stop(SIGTERM), 0);
    close(fd);
    drain();
    close(master);
    EXPECT_EQ(LastValue(screen, "Active CPUs:"), "0") << "the shutdown refresh is shown";
}

// The body of GET path from 127.0.0.1:port (HTTP/1.0, read to the close), or empty.
std::string HttpGet(uint16_t port, const std::string &path) {
    int fd = ConnectOnce(port);
    if (fd < 0) return "";
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    std::string reply;
    if (SendAll(fd, reinterpret_cast<const uint8_t *>(request.data()), request.size())) {
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

// A terminal that takes nothing (paused, or a pipe nobody reads) stops
// neither the counting nor the dashboard, a reader that goes away does not
// end the server, and it still stops at once.
TEST(Pellicksrv, AStdoutNobodyReadsStopsNeitherCountingNorTheDashboardNorTheServer) {
    Sandbox box;
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);  // full after about ten blocks
    const uint16_t port = FreePort();
    Server srv(box, port, {"--print", "--stats-file", box.Stats().string()}, out[1],
               std::vector<std::string>{"PELLICK_TEST_PORT=" + std::to_string(port), "PELLICK_TEST_HTTP_PORT=0"});
    close(out[1]);
    uint16_t web = 0;
    ASSERT_TRUE(WaitFor([&] {
        const std::string err = ReadFile(box.Err());
        const size_t at = err.find("http://localhost:");
        if (at != std::string::npos) web = static_cast<uint16_t>(std::stoi(err.substr(at + 17)));
        return web != 0;
    })) << ReadFile(box.Err());

    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    constexpr uint32_t kMessages = 60;  // each one a refresh and a block: far more than the pipe holds
    for (uint32_t i = 1; i <= kMessages; ++i) {
        auto m = Message(0, i, true);
        ASSERT_TRUE(SendAll(fd, m.data(), m.size()));
        std::this_thread::sleep_for(30ms);
    }
    const std::string counted = "\"accepted\":" + std::to_string(kMessages);
    std::string status;
    EXPECT_TRUE(WaitFor([&] { return (status = HttpGet(web, "/status.json")).find(counted) != std::string::npos; }))
        << status;
    EXPECT_TRUE(WaitFor([&] { return box.ReadStats()["messagesAccepted"] == std::to_string(kMessages); }));

    // The reader goes away: the hung write fails, and the server runs on.
    close(out[0]);
    auto m = Message(0, kMessages + 1, true);
    ASSERT_TRUE(SendAll(fd, m.data(), m.size()));
    EXPECT_TRUE(WaitFor([&] { return box.ReadStats()["messagesAccepted"] == std::to_string(kMessages + 1); }));
    EXPECT_EQ(srv.Stop(SIGTERM), 0);
    close(fd);
    EXPECT_NE(ReadFile(box.Html()).find("No render in progress"), std::string::npos);
    EXPECT_EQ(box.ReadStats()["state"], "stopped");
}

// The dashboard's port, from the address the server prints at its start (0 until then).
uint16_t DashboardPortOf(const Sandbox &box) {
    const std::string err = ReadFile(box.Err());
    const size_t at = err.find("http://localhost:");
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(err.substr(at + 17)));
}

size_t Count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// An HTML file whose folder is missing is said once on standard error and
// shown in /status.json while messages keep coming; once the folder is made
// the file is written within a second or so, with one line saying so.
TEST(Pellicksrv, AnUnwritableHtmlFileIsSaidOnceAndItsRecoveryOnce) {
    Sandbox box;
    const fs::path folder = box.dir / "later", html = folder / "status.html";
    WriteFile(box.Config() / "Zandrel/Pellick/settings.ini", "HTML=" + html.string() + "\n");
    const uint16_t port = FreePort();
    Server srv(box, port, {}, -1,
               std::vector<std::string>{"PELLICK_TEST_PORT=" + std::to_string(port), "PELLICK_TEST_HTTP_PORT=0"});
    uint16_t web = 0;
    ASSERT_TRUE(WaitFor([&] { return (web = DashboardPortOf(box)) != 0; })) << ReadFile(box.Err());
    const std::string failing = "cannot write " + html.string() + ": the folder does not exist";
    std::string status;
    EXPECT_TRUE(WaitFor([&] {
        return (status = HttpGet(web, "/status.json")).find("\"htmlError\":\"" + failing + "\"") != std::string::npos;
    })) << status;

    // Every message is a refresh and a write that fails again: nothing more is said.
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    constexpr uint32_t kMessages = 5;
    for (uint32_t i = 1; i <= kMessages; ++i) {
        auto m = Message(0, i, true);
        ASSERT_TRUE(SendAll(fd, m.data(), m.size()));
        const std::string counted = "\"accepted\":" + std::to_string(i);
        ASSERT_TRUE(WaitFor([&] { return HttpGet(web, "/status.json").find(counted) != std::string::npos; }));
    }
    fs::create_directory(folder);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(html).find("Last Update: ") == 0; }));
    EXPECT_TRUE(WaitFor([&] {
        return (status = HttpGet(web, "/status.json")).find("\"htmlError\":null") != std::string::npos;
    })) << status;
    EXPECT_EQ(srv.Stop(SIGTERM), 0);
    close(fd);
    const std::string err = ReadFile(box.Err());
    EXPECT_EQ(Count(err, "pellicksrv: " + failing + "\n"), 1u) << err;
    EXPECT_EQ(Count(err, "pellicksrv: wrote " + html.string() + " again\n"), 1u) << err;
    EXPECT_EQ(Count(err, "cannot write"), 1u) << err;
}

}  // namespace
