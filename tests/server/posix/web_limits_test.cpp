// Tests of the dashboard's HTTP limits over real loopback sockets: sizes, time, connection caps, stream backlog, memory under hostile clients.
#include "dashboard.h"
#include "http_client.h"
#include "http_server.h"
#include "report.h"
#include "settings.h"
#include "../web_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace webtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A raw client socket from a chosen loopback address (127.0.0.0/8 is all this machine's).
int Connect(uint16_t port, const char *from = "127.0.0.1", int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Everything the server sends until it closes, waiting at most timeout; closed tells whether it did.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds timeout, bool &closed) {
    std::string got;
    const auto end = Clock::now() + timeout;
    closed = false;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) continue;
        char chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// Whether the server has closed the connection (without waiting).
bool ClosedNow(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    const ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

// One answer (its head and as much body as its Content-Length says), or what
// came before the server closed or the time ran out.
std::string ReadAnswer(int fd, std::chrono::milliseconds timeout) {
    std::string got;
    const auto end = Clock::now() + timeout;
    for (;;) {
        const size_t headEnd = got.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const size_t field = got.find("Content-Length: ");
            const size_t length = field < headEnd ? std::stoul(got.substr(field + 16)) : 0;
            if (got.size() >= headEnd + 4 + length) return got;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return got;
        char chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return got;
        got.append(chunk, static_cast<size_t>(n));
    }
}

// The status code of the first answer, 0 when none came.
int StatusOf(const std::string &answer) {
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
    return std::stoi(answer.substr(9, 3));
}

size_t ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

const char kStatusRequest[] = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

class WebLimits : public ::testing::Test {
protected:
    void SetUp() override { Start(256); }
    void TearDown() override {
        for (const int fd : fds) close(fd);
        DashboardStop(dashboard);
    }
    void Start(size_t maxConnections) {
        DashboardStop(dashboard);
        DashboardConfig config;
        config.port = 0;
        config.wake = [](void *) {};
        config.maxConnections = maxConnections;
        std::string error;
        dashboard = DashboardStart(config, error);
        ASSERT_NE(dashboard, nullptr) << error;
        port = DashboardPort(*dashboard);
        Refresh();
    }
    // As the core thread does after a change: a new snapshot for every reader.
    void Refresh() {
        if (RefreshStatus(table.Get(), settings, report)) DashboardPublish(*dashboard, table.Get(), report, JobInfos(report.data), settings);
    }
    int Open(const char *from = "127.0.0.1", int receiveBuffer = 0) {
        const int fd = Connect(port, from, receiveBuffer);
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    // Milliseconds /status.json takes for a client of its own address.
    long long StatusMs(const char *host = "127.0.0.1") {
        const auto start = Clock::now();
        HttpClient client(host, port, 5s);
        const HttpResult res = client.Get("/status.json");
        if (res.status != 200) return 1000000;
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }

    StoreSandbox store;
    ServerSettings settings;  // MaxScale 3, Resolution 4, no HTML file
    WriterGuard writer{FixedDateTime};
    TestTable table;
    StatusReport report;
    Dashboard *dashboard = nullptr;
    uint16_t port = 0;
    std::vector<int> fds;
};

TEST_F(WebLimits, RequestsAreFramedAsHttp11AsksAndWithinTheSizeLimits) {
    // A GET whose request line and headers, empty line included, take exactly size bytes.
    const auto headerOf = [](size_t size) {
        const std::string start = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ";
        return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
    };
    std::string flood = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 3000; ++i) flood += "X-" + std::to_string(i) + ": v\r\n";
    flood += "\r\n";
    std::string chunked = "POST /options HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 20; ++i) chunked += "1000\r\n" + std::string(0x1000, 'b') + "\r\n";
    chunked += "0\r\n\r\n";
    // A change with a value out of range: 400 once its type passes, 415 when it does not.
    const std::string changeHead = "POST /options HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " +
                                   DashboardToken(*dashboard) + "\r\n";
    const std::string badValue = R"({"maxScale":9})";
    const auto change = [&](const std::string &type) {
        return changeHead + "Content-Type: " + type + "\r\nContent-Length: 14\r\n\r\n" + badValue;
    };
    const std::string waiting = changeHead + "Content-Type: application/json\r\nContent-Length: 14\r\n"
                                             "Expect: 100-continue\r\n\r\n";
    struct Case {
        const char *what;
        std::string bytes;
        int status;          // 431: closed without an answer is right too
        bool closes;         // the server closes after its answer
        std::string after = {};  // sent once "100 Continue" came, which then must come first
    };
    const Case cases[] = {
        {"a request line that never ends", "GET /" + std::string(1 << 20, 'a'), 431, true},
        {"a header flood", flood, 431, true},
        {"a header of exactly the limit", headerOf(kHttpMaxHeader), 200, false},
        {"a header one byte past it", headerOf(kHttpMaxHeader + 1), 431, true},
        {"a body past 64 KiB", "POST /options HTTP/1.1\r\nHost: localhost\r\nContent-Length: 65537\r\n\r\n", 413, true},
        {"a chunked body past 64 KiB", chunked, 413, true},
        {"not HTTP", std::string("\x01\x02 nonsense\r\n\r\n"), 400, true},
        {"HTTP/1.1 without Host", "GET /status.json HTTP/1.1\r\n\r\n", 400, true},
        {"HTTP/1.0 without Host", "GET /status.json HTTP/1.0\r\n\r\n", 200, true},
        {"two Host lines", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: 127.0.0.2\r\n\r\n", 400, true},
        {"an obs-fold line", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: 1\r\n 2\r\n\r\n", 400, true},
        {"a folded Host", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\tevil\r\n\r\n", 400, true},
        {"an expectation other than 100-continue", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 200-ok\r\n\r\n", 417, true},
        {"JSON with a charset", change("application/json; charset=utf-8"), 400, false},
        {"JSON in capitals, spaces before its parameter", change("Application/JSON ;charset=utf-8"), 400, false},
        {"JSONP", change("application/jsonp"), 415, false},
        {"a JSON sequence", change("application/json-seq"), 415, false},
        {"a type with JSON as its parameter", change("text/plain; application/json"), 415, false},
        {"a change waiting for 100 Continue", waiting, 400, false, badValue},
        {"a change waiting without its token", "POST /options HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
                                                "application/json\r\nContent-Length: 14\r\nExpect: 100-continue\r\n\r\n",
         403, true},
    };
    for (const Case &c : cases) {
        const int fd = Open();
        ASSERT_GE(fd, 0);
        const auto start = Clock::now();
        SendAll(fd, c.bytes);  // the server may close before all of it is sent
        std::string answer = ReadAnswer(fd, 5s);
        if (!c.after.empty()) {
            EXPECT_EQ(answer, "HTTP/1.1 100 Continue\r\n\r\n") << c.what;
            SendAll(fd, c.after);
            answer = ReadAnswer(fd, 5s);
        }
        const int status = StatusOf(answer);
        EXPECT_TRUE(status == c.status || (status == 0 && c.status == 431)) << c.what << ": " << status << "\n" << answer;
        EXPECT_LT(Clock::now() - start, 3s) << c.what << ": answered at once";
        if (!c.closes) continue;
        bool closed = false;
        ReadUntilClosed(fd, 5s, closed);
        EXPECT_TRUE(closed) << c.what << ": the connection ends";
    }
}

TEST_F(WebLimits, SilentDrippingAndIdleConnectionsAreClosedInTime) {
    const int silent = Open(), dripping = Open(), kept = Open();
    ASSERT_TRUE(silent >= 0 && dripping >= 0 && kept >= 0);
    const auto start = Clock::now();
    ASSERT_TRUE(SendAll(kept, kStatusRequest));
    bool closed = false;
    std::string answer;
    while (answer.find("\"schema\"") == std::string::npos && Clock::now() - start < 5s) {
        answer += ReadUntilClosed(kept, 200ms, closed);
    }
    ASSERT_EQ(StatusOf(answer), 200);
    ASSERT_TRUE(SendAll(dripping, "GET /status.json HTTP/1.1\r\n"));
    const std::pair<int, const char *> watched[] = {{silent, "silent"}, {dripping, "dripping"}, {kept, "kept"}};
    Clock::duration closedAfter[3] = {};
    auto lastDrip = start;
    while (Clock::now() - start < 38s) {
        if (Clock::now() - lastDrip >= 1s && closedAfter[1] == Clock::duration()) {
            SendAll(dripping, "X");  // a byte a second: never a whole request
            lastDrip = Clock::now();
        }
        bool all = true;
        for (int i = 0; i < 3; ++i) {
            if (closedAfter[i] == Clock::duration() && ClosedNow(watched[i].first)) closedAfter[i] = Clock::now() - start;
            all = all && closedAfter[i] != Clock::duration();
        }
        if (all) break;
        std::this_thread::sleep_for(50ms);
    }
    // Upper bounds leave room for a loaded machine (sanitizers, parallel tests); the lower ones are the rule.
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    EXPECT_GT(seconds(closedAfter[0]), 9.5) << "silent";
    EXPECT_LT(seconds(closedAfter[0]), 14.0) << "silent: closed 10 s after it opened";
    EXPECT_GT(seconds(closedAfter[1]), 9.5) << "dripping";
    EXPECT_LT(seconds(closedAfter[1]), 14.0) << "dripping: closed 10 s after its first byte";
    EXPECT_GT(seconds(closedAfter[2]), 29.5) << "kept alive";
    EXPECT_LT(seconds(closedAfter[2]), 34.0) << "kept alive: closed after 30 s idle";
}

TEST_F(WebLimits, ConnectionsAreCappedPerAddressAndInAll) {
    Start(40);
    // Whether a new connection from that address is served.
    const auto served = [&](const char *from) {
        const int fd = Open(from);
        return fd >= 0 && SendAll(fd, kStatusRequest) && StatusOf(ReadAnswer(fd, 5s)) == 200;
    };
    for (size_t i = 0; i < kHttpMaxPerAddress; ++i) EXPECT_TRUE(served("127.0.0.2")) << "connection " << i;
    EXPECT_FALSE(served("127.0.0.2")) << "one more from the same address";
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(served("127.0.0.3")) << "another address, connection " << i;
    const int oldest = fds.front(), next = fds[1];
    EXPECT_TRUE(served("127.0.0.4")) << "past the cap of all connections";
    bool closed = false;
    ReadUntilClosed(oldest, 5s, closed);
    EXPECT_TRUE(closed) << "the longest-idle connection made room";
    EXPECT_FALSE(ClosedNow(next)) << "and only that one";
}

// The HTTP server alone, with 127.0.0.1 as its only reserved peer, so other
// loopback addresses stand for the rest of the network.
class HttpCrowd : public ::testing::Test {
protected:
    struct Event : HttpEvent {
        std::string bytes = "event: status\ndata: {}\n\n";
        const std::string &Bytes() const override { return bytes; }
    };

    void Start(size_t maxConnections) {
        HttpServerConfig config;
        config.maxConnections = maxConnections;
        config.reservedPeer = [](std::string_view address) { return address == "127.0.0.1"; };
        config.handler = [](const HttpRequest &req, HttpReply reply) {
            HttpResponse res;
            res.contentType = "text/plain";
            res.body = "ok";
            res.eventStream = req.path == "/events";
            reply(std::move(res));
        };
        std::string error;
        server = HttpServerStart(std::move(config), error);
        ASSERT_NE(server, nullptr) << error;
        port = HttpServerPort(*server);
    }
    void TearDown() override {
        for (const int fd : fds) close(fd);
        HttpServerStop(server);
    }
    int Open(const std::string &from) {
        const int fd = Connect(port, from.c_str());
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    // A request from that address: its answer's status, 0 when it was refused.
    int Get(const std::string &from) {
        const int fd = Open(from);
        return fd >= 0 && SendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") ? StatusOf(ReadAnswer(fd, 5s)) : 0;
    }
    // An event stream from that address, open once its first bytes came.
    int Stream(const std::string &from) {
        const int fd = Open(from);
        if (fd < 0 || !SendAll(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return -1;
        return ReadAnswer(fd, 5s).find("ok") != std::string::npos ? fd : -1;
    }
    // Whether each stream gets a new event.
    bool StreamsHear(const std::vector<int> &streams) {
        HttpServerPublish(*server, std::make_shared<Event>());
        for (const int fd : streams) {
            bool closed = false;
            std::string got;
            const auto end = Clock::now() + 5s;
            while (got.find("event: status") == std::string::npos && !closed && Clock::now() < end) {
                got += ReadUntilClosed(fd, 100ms, closed);
            }
            if (got.find("event: status") == std::string::npos) return false;
        }
        return true;
    }

    HttpServer *server = nullptr;
    uint16_t port = 0;
    std::vector<int> fds;
};

TEST_F(HttpCrowd, ASilentCrowdAtTheCapMakesRoomForReaders) {
    Start(40);  // 32 places for the crowd's kind of peer, 8 kept for 127.0.0.1
    // The oldest connections are streams: busy, so never closed for a newcomer.
    std::vector<int> streams;
    for (int i = 0; i < 4; ++i) streams.push_back(Stream("127.0.2.1"));
    ASSERT_EQ(std::count(streams.begin(), streams.end(), -1), 0);
    std::vector<int> crowd;  // silent connections from 7 addresses fill the rest of the 32
    for (int i = 0; i < 28; ++i) crowd.push_back(Open("127.0.1." + std::to_string(1 + i % 7)));
    ASSERT_EQ(std::count(crowd.begin(), crowd.end(), -1), 0);
    const auto closedInCrowd = [&] {
        return std::count_if(crowd.begin(), crowd.end(), [](int fd) { return ClosedNow(fd); });
    };

    EXPECT_EQ(Get("127.0.0.1"), 200) << "a reserved reader takes a reserved place";
    EXPECT_EQ(closedInCrowd(), 0) << "without closing anyone";

    EXPECT_EQ(Get("127.0.3.1"), 200) << "a reader from another address";
    bool closed = false;
    ReadUntilClosed(crowd.front(), 5s, closed);
    EXPECT_TRUE(closed) << "the longest-idle silent connection made room";
    EXPECT_EQ(closedInCrowd(), 1) << "and no other";
    EXPECT_TRUE(StreamsHear(streams)) << "streams are never closed for a newcomer";
}

TEST_F(HttpCrowd, WithNothingIdleANewcomerIsRefusedButReservedPlacesStay) {
    Start(4);  // 2 places for others, 2 reserved
    const std::vector<int> streams{Stream("127.0.2.1"), Stream("127.0.2.2")};
    ASSERT_EQ(std::count(streams.begin(), streams.end(), -1), 0);
    EXPECT_EQ(Get("127.0.3.1"), 0) << "no idle connection to close: refused";
    EXPECT_EQ(Get("127.0.0.1"), 200) << "the reserved places are still free";
    EXPECT_TRUE(StreamsHear(streams));
}

TEST_F(WebLimits, AStreamReaderThatFallsBehindIsDropped) {
    // Events carry the jobs, not the CPUs: 600 one-CPU jobs make each event about half a megabyte.
    for (int cpu = 0; cpu < 600; ++cpu) Progress(table.AddCpu(cpu, 1000 + static_cast<uint64_t>(cpu)), 30, 100, 60, 58, 1800, 10);
    Refresh();
    ASSERT_GT(HttpClient("127.0.0.1", port).Get("/summary.json").body.size(), 400000u) << "events too small to fall behind";
    const int lazy = Open("127.0.0.1", 4096);  // reads nothing after its request
    ASSERT_GE(lazy, 0);
    ASSERT_TRUE(SendAll(lazy, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::atomic<int> events{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        HttpClient client("127.0.0.1", port);
        client.Stream("/events", [&](std::string_view bytes) {
            for (size_t at = bytes.find("event: status"); at != std::string_view::npos;
                 at = bytes.find("event: status", at + 1)) {
                events += 1;
            }
            return !stop.load();
        });
    });
    for (int i = 0; i < 24; ++i) {
        table.entries[0].record.passesDone = 31 + static_cast<uint32_t>(i);
        Refresh();
        std::this_thread::sleep_for(300ms);
    }
    bool closed = false;
    const std::string drained = ReadUntilClosed(lazy, 10s, closed);
    EXPECT_TRUE(closed) << "the lazy reader was dropped after " << drained.size() << " bytes";
    EXPECT_LT(drained.size(), 24u * 500000u) << "it did not get every event";
    EXPECT_GE(events.load(), 10) << "a reader that keeps up gets the events";
    stop = true;
    Refresh();
    reader.join();
}

TEST_F(WebLimits, HostileClientsLeaveMemoryBoundedAndOthersServed) {
    const size_t startKiB = ResidentKiB();
    // Hundreds of idle connections from many addresses.
    for (int a = 10; a < 17; ++a) {
        const std::string from = "127.0.0." + std::to_string(a);
        for (size_t i = 0; i < kHttpMaxPerAddress; ++i) Open(from.c_str());
    }
    // Request lines that never end and header floods, from yet other addresses.
    // (The test sends the same 64 KiB again and again, so its own memory stays put.)
    const std::string chunk(64 * 1024, 'h');
    std::vector<std::thread> senders;
    for (int a = 20; a < 28; ++a) {
        senders.emplace_back([this, a, &chunk] {
            const std::string from = "127.0.0." + std::to_string(a);
            for (int round = 0; round < 4; ++round) {
                const int fd = Connect(port, from.c_str());
                if (fd < 0) continue;
                bool open = SendAll(fd, a % 2 ? "GET /" : "GET / HTTP/1.1\r\n");
                for (int i = 0; i < 64 && open; ++i) open = SendAll(fd, chunk);
                close(fd);
            }
        });
    }
    // Event-stream readers that never read.
    for (int i = 0; i < 12; ++i) {
        const int fd = Open("127.0.0.30", 4096);
        SendAll(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    long long slowest = 0;
    for (int i = 0; i < 20; ++i) {
        Refresh();
        slowest = std::max(slowest, StatusMs("127.0.0.40"));
        std::this_thread::sleep_for(100ms);
    }
    for (auto &t : senders) t.join();
    const size_t grownKiB = ResidentKiB() - std::min(ResidentKiB(), startKiB);
    std::printf("among hostile clients: /status.json at most %lld ms, memory grew %zu KiB\n", slowest, grownKiB);
    EXPECT_LT(slowest, 1000) << "ms for /status.json among hostile clients";
    EXPECT_LT(grownKiB, 32u * 1024u) << "KiB grown";
}

}  // namespace
