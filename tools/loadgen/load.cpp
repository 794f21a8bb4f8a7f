// The load generator's engine: opens the connections, sends on a schedule or flat out, and measures counts, CPU use and latency.
#include "load.h"

#include "clock.h"
#include "http_client.h"
#include "net.h"
#include "tool_support.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint64_t kNsPerSecond = 1000000000ULL;
// How often the HTML report is looked at for changes, and the pause between
// two requests for /status.json.
constexpr uint64_t kHtmlPollNs = 2000000;
constexpr auto kStatusPollPause = std::chrono::milliseconds(2);
// Flat out, each connection repeats its message from a block of this many
// bytes at most, so one send call can hand over many messages.
constexpr size_t kMaxBlockBytes = 16 * 1024;
constexpr size_t kBlockMemory = 64u << 20;  // for all blocks together
constexpr int kConnectTimeoutMs = 10000;

// CPU time this process used so far, in seconds.
double OwnCpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

struct Conn {
    NetSocket s = kNoNetSocket;
    bool open = false;
    bool wantWrite = false;     // registered for writability
    uint64_t handed = 0;        // bytes handed to the kernel
    uint64_t limit = 0;         // bytes to send at most (0: no limit)
    std::string pending;        // scheduled bytes the kernel has not taken yet
    size_t blockOffset = 0;     // flat out: where in the block the next byte is
    bool queued = false;        // flat out: in the ready queue
    bool full = false;          // the last send found the kernel's buffer full
    std::deque<std::pair<uint32_t, uint64_t>> unseen;  // (passes, send time) of measured messages, under probeMutex
};

struct Engine {
    const LoadConfig &cfg;
    LoadReport &report;
    int epollFd = -1;
    std::vector<Conn> conns;
    std::vector<uint32_t> cpuOf;   // connection to its CPU (0-based)
    std::vector<uint32_t> connOf;  // CPU to its connection
    std::vector<uint8_t> blocks;  // flat out: one block per connection
    size_t blockBytes = 0;
    std::mt19937 rng;
    uint64_t startTime = 0;  // file time the synthetic renders started
    // Latency probes (the HTML file on this thread, /status.json on its own)
    // share the measured messages and their results.
    std::mutex probeMutex;
    std::vector<double> latencies;
    std::thread statusProbe, statusParser;
    std::atomic<bool> stopProbe{false};
    // The probe hands each answer to the parser and asks again at once, so parsing
    // 2 MB here does not space out the asking; an answer not parsed yet gives way
    // to a newer one, which shows at least as much.
    std::condition_variable answerReady;
    std::string answerBody;           // under probeMutex
    uint64_t answerArrived = 0;       // under probeMutex; 0: none waiting
    std::vector<std::pair<uint64_t, double>> requestTimes;  // (start, ms) of each answer, under probeMutex
    std::deque<uint32_t> ready;  // flat out: connections the kernel may take more from
    bool sending = true;
    bool measuring = false;
    // The HTML report as last seen.
    ino_t htmlIno = 0;
    timespec htmlTime{};
    off_t htmlSize = -1;

    Engine(const LoadConfig &c, LoadReport &r) : cfg(c), report(r), rng(c.seed) {}
    ~Engine() {
        StopStatusProbe();
        for (Conn &c : conns)
            if (c.open) NetClose(c.s);
        if (epollFd >= 0) close(epollFd);
    }

    uint64_t SentMessages() const {
        uint64_t total = 0;
        for (const Conn &c : conns) total += c.handed / kMessageLength;
        return total;
    }

    void Watch(uint32_t i, bool write) {
        Conn &c = conns[i];
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (write ? EPOLLOUT : 0u);
        ev.data.u32 = i;
        epoll_ctl(epollFd, EPOLL_CTL_MOD, static_cast<int>(c.s), &ev);
        c.wantWrite = write;
    }

    void Lost(uint32_t i) {
        Conn &c = conns[i];
        if (!c.open) return;
        NetClose(c.s);  // also leaves the epoll set
        c.open = false;
        ++report.closedByServer;
    }

    // Hands bytes to the kernel in one or, with random chunking, several
    // calls. Returns how many it took; stops at a full buffer or an error.
    size_t Push(uint32_t i, const uint8_t *data, size_t size) {
        Conn &c = conns[i];
        c.full = false;
        size_t done = 0;
        while (done < size && c.open) {
            size_t want = size - done;
            if (c.limit) want = std::min<uint64_t>(want, c.limit - c.handed);
            if (want == 0) break;
            if (cfg.randomChunks) want = 1 + rng() % want;
            long n = NetSend(c.s, data + done, want);
            if (n == kNetWouldBlock) {
                c.full = true;
                break;
            }
            if (n <= 0) {
                ++report.sendErrors;
                Lost(i);
                break;
            }
            done += static_cast<size_t>(n);
            c.handed += static_cast<uint64_t>(n);
        }
        return done;
    }

    void FlushPending(uint32_t i) {
        Conn &c = conns[i];
        size_t n = Push(i, reinterpret_cast<const uint8_t *>(c.pending.data()), c.pending.size());
        c.pending.erase(0, n);
        if (c.open && c.pending.empty() == c.wantWrite) Watch(i, !c.pending.empty());
    }

    // A scheduled message: pass seq of CPU i, sent now.
    void SendScheduled(uint32_t i, uint32_t seq) {
        Conn &c = conns[i];
        if (!c.open || cfg.silent) return;
        const uint64_t fileNow = NowFileTime();
        const double passSeconds = cfg.rate > 0 ? 1.0 / cfg.rate : 1.0;
        StatusRecord r = Record(i, seq, passSeconds, fileNow);
        uint8_t message[kMessageLength];
        EncodeRecord(r, kFieldTable, message);
        if (measuring && Probing()) {
            std::lock_guard<std::mutex> lock(probeMutex);
            c.unseen.emplace_back(seq, MonotonicNanos());
        }
        c.pending.append(reinterpret_cast<const char *>(message), kMessageLength);
        FlushPending(i);
    }

    // Flat out: hands over the connection's block a few times. A connection
    // the kernel still takes more from goes to the back of the ready queue
    // (writability is edge-triggered), so every connection gets its turn.
    void SendFlatOut(uint32_t i) {
        Conn &c = conns[i];
        if (!sending || !c.open || cfg.silent) return;
        const uint8_t *block = blocks.data() + size_t{i} * blockBytes;
        for (int burst = 0; burst < 4; ++burst) {
            size_t n = Push(i, block + c.blockOffset, blockBytes - c.blockOffset);
            c.blockOffset = (c.blockOffset + n) % blockBytes;
            if (c.full || !c.open || (c.limit && c.handed >= c.limit)) return;
        }
        if (!c.queued) {
            c.queued = true;
            ready.push_back(i);
        }
    }

    void SendReady() {
        for (size_t k = ready.size(); k > 0 && !ready.empty(); --k) {
            uint32_t i = ready.front();
            ready.pop_front();
            conns[i].queued = false;
            SendFlatOut(i);
        }
    }

    // Connection i's record: its CPU, in the job of consecutive CPUs it belongs to.
    StatusRecord Record(uint32_t i, uint32_t seq, double passSeconds, uint64_t now) const {
        const uint32_t cpu = cpuOf[i];
        return SyntheticRecord(cpu, static_cast<uint32_t>(uint64_t{cpu} * cfg.jobs / cfg.connections), seq, passSeconds,
                               startTime, now);
    }

    // Gives the connection cfg.fromAddr as its own address (any port).
    bool BindFrom(NetSocket s) const {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = cfg.fromAddr;
        return bind(static_cast<int>(s), reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
    }

    int Connect(std::string &error) {
        const uint64_t t0 = MonotonicNanos();
        startTime = NowFileTime();
        conns.resize(cfg.connections);
        cpuOf.resize(cfg.connections);
        std::iota(cpuOf.begin(), cpuOf.end(), 0u);
        if (cfg.randomOrder) std::shuffle(cpuOf.begin(), cpuOf.end(), rng);
        connOf.resize(cfg.connections);
        for (uint32_t i = 0; i < cfg.connections; ++i) connOf[cpuOf[i]] = i;
        const bool flatOut = cfg.rate <= 0;
        if (flatOut) {
            size_t copies = std::clamp<size_t>(kBlockMemory / (size_t{cfg.connections} * kMessageLength), 1,
                                               kMaxBlockBytes / kMessageLength);
            blockBytes = copies * kMessageLength;
            blocks.resize(blockBytes * cfg.connections);
        }
        for (uint32_t i = 0; i < cfg.connections; ++i) {
            Conn &c = conns[i];
            c.s = NetOpenTcp();
            if (c.s != kNoNetSocket && cfg.fromAddr && !BindFrom(c.s)) {
                error = "cannot bind connection " + std::to_string(i + 1) + ": " + std::strerror(errno);
                NetClose(c.s);
                c.s = kNoNetSocket;
                return 0;
            }
            if (c.s == kNoNetSocket || !NetConnect(c.s, cfg.serverAddr, cfg.port, kConnectTimeoutMs)) {
                error = "connection " + std::to_string(i + 1) + " of " + std::to_string(cfg.connections) +
                        " failed: " + std::strerror(errno);
                if (c.s != kNoNetSocket) NetClose(c.s);
                c.s = kNoNetSocket;
                return 0;
            }
            c.open = true;
            if (cfg.randomChunks) {
                int one = 1;
                setsockopt(static_cast<int>(c.s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            if (cfg.messages) c.limit = uint64_t{cfg.messages} * kMessageLength;
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP | (flatOut ? EPOLLOUT | EPOLLET : 0u);
            ev.data.u32 = i;
            if (!NetSetNonBlocking(c.s) || epoll_ctl(epollFd, EPOLL_CTL_ADD, static_cast<int>(c.s), &ev) != 0) {
                error = std::string("cannot watch a connection: ") + std::strerror(errno);
                return 0;
            }
            // Like a plug-in starting to monitor: a first message (no pass yet) right away.
            if (cfg.silent) {
                // A silent flood sends nothing at all.
            } else if (flatOut) {
                StatusRecord r = Record(i, 1, 1.0, startTime);
                uint8_t *block = blocks.data() + size_t{i} * blockBytes;
                for (size_t at = 0; at < blockBytes; at += kMessageLength) EncodeRecord(r, kFieldTable, std::span<uint8_t>(block + at, kMessageLength));
                size_t n = Push(i, block, kMessageLength);
                c.blockOffset = n % blockBytes;
            } else {
                SendScheduled(i, 0);
            }
            ++report.connected;
        }
        report.connectSeconds = static_cast<double>(MonotonicNanos() - t0) / kNsPerSecond;
        return 1;
    }

    // The HTML report into html when it changed since it was last looked at.
    bool HtmlChanged(std::string &html) {
        struct stat st{};
        if (stat(cfg.htmlFile.c_str(), &st) != 0) return false;
        if (st.st_ino == htmlIno && st.st_size == htmlSize && st.st_mtim.tv_sec == htmlTime.tv_sec &&
            st.st_mtim.tv_nsec == htmlTime.tv_nsec)
            return false;
        htmlIno = st.st_ino;
        htmlSize = st.st_size;
        htmlTime = st.st_mtim;
        std::ifstream in(cfg.htmlFile, std::ios::binary);
        html.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    }

    // Looks at the HTML report; when it changed, every measured message its
    // CPU's row now covers has appeared.
    void PollHtml() {
        std::string html;
        if (HtmlChanged(html)) Seen(ParseReportRows(html), MonotonicNanos());
    }

    // Milliseconds from instant from until the HTML report shows exactly want
    // rows of this farm's CPUs; none when the settle time passes first.
    std::optional<double> TimeUntilRows(size_t want, uint64_t from) {
        const uint64_t giveUp = MonotonicNanos() + static_cast<uint64_t>(cfg.settle * kNsPerSecond);
        for (;;) {
            std::string html;
            if (HtmlChanged(html)) {
                const uint64_t seen = MonotonicNanos();
                size_t ours = 0;
                for (const ReportRow &row : ParseReportRows(html)) ours += row.cpu >= 1 && row.cpu <= conns.size();
                if (ours == want) return static_cast<double>(seen - from) / 1e6;
            }
            if (MonotonicNanos() >= giveUp) return std::nullopt;
            HandleEvents(static_cast<int>(kHtmlPollNs / 1000000));
        }
    }

    bool Probing() const { return !cfg.htmlFile.empty() || cfg.statusPort != 0; }

    // The report shows these rows at instant seen: every measured message a
    // CPU's row now covers has appeared.
    void Seen(const std::vector<ReportRow> &rows, uint64_t seen) {
        std::lock_guard<std::mutex> lock(probeMutex);
        for (const ReportRow &row : rows) {
            if (row.cpu < 1 || row.cpu > conns.size()) continue;
            auto &unseen = conns[connOf[row.cpu - 1]].unseen;
            while (!unseen.empty() && unseen.front().first <= row.passes) {
                latencies.push_back(static_cast<double>(seen - unseen.front().second) / 1e6);
                unseen.pop_front();
            }
        }
    }

    // Asks the dashboard for /status.json again and again on a thread of its own.
    void StartStatusProbe() {
        if (!cfg.statusPort) return;
        char host[INET_ADDRSTRLEN] = "127.0.0.1";
        in_addr addr{};
        addr.s_addr = cfg.serverAddr;
        inet_ntop(AF_INET, &addr, host, sizeof host);
        statusProbe = std::thread([this, name = std::string(host)] {
            HttpClient client(name, cfg.statusPort);
            while (!stopProbe.load()) {
                const uint64_t asked = MonotonicNanos();
                HttpResult res = client.Get("/status.json");
                const uint64_t arrived = MonotonicNanos();  // what the answer shows was there by now
                if (res.status == 200) {
                    std::lock_guard<std::mutex> lock(probeMutex);
                    requestTimes.emplace_back(asked, static_cast<double>(arrived - asked) / 1e6);
                    answerBody = std::move(res.body);
                    answerArrived = arrived;
                    answerReady.notify_one();
                }
                std::this_thread::sleep_for(kStatusPollPause);
            }
        });
        statusParser = std::thread([this] {
            std::unique_lock<std::mutex> lock(probeMutex);
            for (;;) {
                answerReady.wait(lock, [this] { return answerArrived != 0 || stopProbe.load(); });
                if (answerArrived == 0) return;
                const std::string body = std::move(answerBody);
                const uint64_t arrived = std::exchange(answerArrived, 0);
                lock.unlock();
                const std::vector<ReportRow> rows = ParseStatusCpus(body);
                Seen(rows, arrived);
                lock.lock();
            }
        });
    }

    void StopStatusProbe() {
        stopProbe = true;
        if (statusProbe.joinable()) statusProbe.join();
        {
            std::lock_guard<std::mutex> lock(probeMutex);
            answerReady.notify_one();
        }
        if (statusParser.joinable()) statusParser.join();
    }

    // Flat out with a message count: every open connection has sent its share.
    bool AllSent() const {
        for (const Conn &c : conns)
            if (c.open && c.handed < c.limit) return false;
        return true;
    }

    uint64_t UnseenCount() {
        std::lock_guard<std::mutex> lock(probeMutex);
        uint64_t n = 0;
        for (const Conn &c : conns) n += c.unseen.size();
        return n;
    }

    void HandleEvents(int timeoutMs) {
        epoll_event events[256];
        int n = epoll_wait(epollFd, events, 256, timeoutMs);
        for (int k = 0; k < n; ++k) {
            uint32_t i = events[k].data.u32;
            if (i >= conns.size() || !conns[i].open) continue;
            uint32_t ev = events[k].events;
            if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                // The server never sends: readable means it closed or failed the connection.
                char byte;
                long got = NetRecv(conns[i].s, &byte, 1);
                if (got != kNetWouldBlock) {
                    Lost(i);
                    continue;
                }
            }
            if (ev & EPOLLOUT) {
                if (cfg.rate <= 0)
                    SendFlatOut(i);
                else if (sending)
                    FlushPending(i);
            }
        }
    }

    // What the measured window started from.
    struct Window {
        bool open = false;
        uint64_t began = 0, ended = 0;  // monotonic ns
        uint64_t sent = 0, accepted = 0;
        double ownCpu = 0;
        std::optional<double> serverCpu, serverLoopCpu;
    };
    Window window;
    std::optional<uint64_t> acceptedAtStart;  // the server's count before the first connection

    int OpenEpoll(std::string &error) {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd >= 0) return 1;
        error = std::string("epoll: ") + std::strerror(errno);
        return 0;
    }

    // The server's accepted count before anything is sent (a server just
    // started may not have written its stats file yet).
    int ReadAcceptedAtStart(std::string &error) {
        if (cfg.statsFile.empty()) return 1;
        const uint64_t giveUp = MonotonicNanos() + 10 * kNsPerSecond;
        while (!(acceptedAtStart = StatsCounter(cfg.statsFile, "messagesAccepted")) && MonotonicNanos() < giveUp)
            usleep(10000);
        if (acceptedAtStart) return 1;
        error = "no messagesAccepted in " + cfg.statsFile;
        return 0;
    }

    void OpenWindow(uint64_t now) {
        window.open = measuring = true;
        window.began = now;
        window.ownCpu = OwnCpuSeconds();
        window.sent = SentMessages();
        if (!cfg.statsFile.empty()) window.accepted = StatsCounter(cfg.statsFile, "messagesAccepted").value_or(0);
        if (cfg.serverPid > 0) {
            window.serverCpu = ProcessCpuSeconds(cfg.serverPid);
            window.serverLoopCpu = ThreadCpuSeconds(cfg.serverPid, cfg.serverPid);
        }
    }

    // Sends on schedule (or flat out) for the duration, or until every
    // connection sent its messages; the measured window opens after the warm-up.
    void SendForDuration() {
        const uint64_t t0 = MonotonicNanos();
        const uint64_t windowStart = t0 + static_cast<uint64_t>(cfg.warmup * kNsPerSecond);
        const uint64_t end = t0 + static_cast<uint64_t>(cfg.duration * kNsPerSecond);
        const bool flatOut = cfg.rate <= 0;
        const double interval = flatOut ? 0 : kNsPerSecond / (cfg.rate * cfg.connections);  // ns between sends
        const uint64_t perConnection = cfg.messages ? cfg.messages - 1 : UINT64_MAX;         // after the first
        uint64_t next = 0;  // global index of the next scheduled message
        uint64_t nextPoll = t0;
        if (flatOut)
            for (uint32_t i = 0; i < conns.size(); ++i) SendFlatOut(i);

        for (;;) {
            uint64_t now = MonotonicNanos();
            if (!window.open && now >= windowStart) OpenWindow(now);
            if (now >= end) break;
            if (!flatOut) {
                bool done = true;
                while (next / conns.size() < perConnection) {
                    uint64_t due = t0 + static_cast<uint64_t>(static_cast<double>(next) * interval);
                    if (due > now) {
                        done = false;
                        break;
                    }
                    SendScheduled(static_cast<uint32_t>(next % conns.size()),
                                  static_cast<uint32_t>(next / conns.size() + 1));
                    ++next;
                }
                if (done) break;
            } else if (cfg.messages && AllSent()) {
                break;
            }
            if (!cfg.htmlFile.empty() && now >= nextPoll) {
                PollHtml();
                nextPoll = now + kHtmlPollNs;
            }
            uint64_t wake = end;
            if (!flatOut) wake = std::min(wake, t0 + static_cast<uint64_t>(static_cast<double>(next) * interval));
            if (!cfg.htmlFile.empty()) wake = std::min(wake, nextPoll);
            if (!window.open) wake = std::min(wake, windowStart);
            SendReady();
            if (flatOut && cfg.messages && AllSent()) continue;
            now = MonotonicNanos();
            int timeoutMs = wake > now && ready.empty() ? static_cast<int>(NanosToMsRoundedUp(wake - now)) : 0;
            HandleEvents(timeoutMs);
        }
    }

    // The measured window ends with the sending (what is still queued goes
    // out while settling): counts and CPU use over it.
    void CloseWindow() {
        window.ended = MonotonicNanos();
        sending = cfg.rate > 0;
        if (!window.open) OpenWindow(window.ended);
        measuring = false;
        report.windowSeconds = static_cast<double>(window.ended - window.began) / kNsPerSecond;
        report.sent = SentMessages();
        report.sentInWindow = report.sent - window.sent;
        if (report.windowSeconds > 0)
            report.ownCpuPercent = (OwnCpuSeconds() - window.ownCpu) * 100.0 / report.windowSeconds;
        if (!cfg.statsFile.empty())
            report.serverAcceptedInWindow =
                StatsCounter(cfg.statsFile, "messagesAccepted").value_or(0) - window.accepted;
        if (window.serverCpu) {
            auto cpu = ProcessCpuSeconds(cfg.serverPid);
            if (cpu && report.windowSeconds > 0)
                report.serverCpuPercent = (*cpu - *window.serverCpu) * 100.0 / report.windowSeconds;
            auto loopCpu = ThreadCpuSeconds(cfg.serverPid, cfg.serverPid);
            if (loopCpu && window.serverLoopCpu && report.windowSeconds > 0)
                report.serverLoopCpuPercent = (*loopCpu - *window.serverLoopCpu) * 100.0 / report.windowSeconds;
        }
    }

    // Lets the server catch up, for at most the settle time: everything sent
    // accepted, every measured message shown.
    void Settle() {
        const uint64_t settleEnd = window.ended + static_cast<uint64_t>(cfg.settle * kNsPerSecond);
        for (;;) {
            bool pending = false;
            for (uint32_t i = 0; i < conns.size(); ++i) {
                if (!conns[i].pending.empty() && conns[i].open) pending = true;
            }
            bool caughtUp = !pending;
            if (!cfg.statsFile.empty()) {
                report.sent = SentMessages();
                uint64_t accepted = StatsCounter(cfg.statsFile, "messagesAccepted").value_or(0);
                report.serverAccepted = accepted - *acceptedAtStart;
                caughtUp = caughtUp && *report.serverAccepted >= report.sent;
            }
            if (!cfg.htmlFile.empty()) PollHtml();
            if (Probing()) caughtUp = caughtUp && UnseenCount() == 0;
            if (caughtUp || MonotonicNanos() >= settleEnd) break;
            HandleEvents(2);
        }
        report.sent = SentMessages();
    }

    void SummarizeLatencies() {
        std::sort(latencies.begin(), latencies.end());
        report.latencyCount = latencies.size();
        report.latencyUnseen = UnseenCount();
        report.latencyP50 = Percentile(latencies, 0.50);
        report.latencyP99 = Percentile(latencies, 0.99);
        report.latencyMax = latencies.empty() ? 0 : latencies.back();
        // How long /status.json took to answer, for the requests asked in the window.
        std::vector<double> answered;
        for (const auto &[asked, ms] : requestTimes)
            if (window.open && asked >= window.began && asked <= window.ended) answered.push_back(ms);
        std::sort(answered.begin(), answered.end());
        report.requestCount = answered.size();
        report.requestP50 = Percentile(answered, 0.50);
        report.requestP99 = Percentile(answered, 0.99);
        report.requestMax = answered.empty() ? 0 : answered.back();
    }

    // Keeps the connections open and idle, after saying so in the ready file.
    void Hold() {
        if (cfg.hold <= 0) return;
        if (!cfg.readyFile.empty()) std::ofstream(cfg.readyFile) << "holding\n";
        const uint64_t holdEnd = MonotonicNanos() + static_cast<uint64_t>(cfg.hold * kNsPerSecond);
        while (MonotonicNanos() < holdEnd) HandleEvents(50);
    }

    // Closes every connection at once and times how long the report takes to empty.
    void CloseAllTimed() {
        const uint64_t closing = MonotonicNanos();
        for (Conn &c : conns) {
            if (c.open) NetClose(c.s);
            c.open = false;
        }
        const uint64_t closed = MonotonicNanos();
        report.closeAllMs = static_cast<double>(closed - closing) / 1e6;
        if (!cfg.htmlFile.empty()) report.closedGoneMs = TimeUntilRows(0, closed);
    }

    int Run(std::string &error) {
        if (!OpenEpoll(error) || !ReadAcceptedAtStart(error) || !Connect(error)) return 0;
        if (cfg.farmTimes && !cfg.htmlFile.empty())
            report.firstReportsShownMs = TimeUntilRows(conns.size(), MonotonicNanos());
        StartStatusProbe();
        SendForDuration();
        CloseWindow();
        Settle();
        StopStatusProbe();
        SummarizeLatencies();
        if (cfg.measured) cfg.measured(cfg, report);  // before the hold, so the results can be read during it
        Hold();
        if (cfg.farmTimes) CloseAllTimed();
        return 1;
    }
};

int64_t Ticks(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1e7)); }

}  // namespace

StatusRecord SyntheticRecord(uint32_t cpu, uint32_t job, uint32_t seq, double passSeconds, uint64_t startTime,
                             uint64_t now) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof r.signature);
    const int64_t pass = std::max<int64_t>(Ticks(passSeconds), 1);
    r.startTime = startTime;
    r.passesPerFrame = 2;
    r.passesPerFrameFixed = 1;
    r.totalPasses = 2000000;
    r.passesDone = seq;
    r.firstRenderedFrame = 1;
    r.currentFrame = static_cast<int32_t>(1 + seq / 2);
    r.lastPassTime = seq ? pass : 0;
    r.recentPassTime = seq ? pass : 0;
    r.elapsedTime = static_cast<int64_t>(now - startTime);
    r.passStartTime = now - static_cast<uint64_t>(r.lastPassTime);
    r.averagePassTime = seq ? r.elapsedTime / seq : 0;
    r.averageFrameTime = r.averagePassTime * 2;
    r.cpuIndex = static_cast<int32_t>(cpu);
    std::snprintf(r.sceneName, sizeof r.sceneName, "loadgen job %u", job + 1);
    std::snprintf(r.sceneFile, sizeof r.sceneFile, "/farm/scenes/loadgen_job_%u.scn", job + 1);
    r.sceneFirstFrame = 1;
    r.sceneLastFrame = 1000000;
    r.sceneFrameStep = 1;
    std::snprintf(r.sceneText40, sizeof r.sceneText40, "%#.10f", 1.0);
    std::snprintf(r.sceneText56, sizeof r.sceneText56, "%#.10f", 0.5);
    r.sceneFileTime = startTime;
    r.sceneFileSize = 4096 + job;
    return r;
}

std::vector<ReportRow> ParseReportRows(std::string_view html) {
    std::vector<ReportRow> rows;
    constexpr std::string_view kRow = "<tr><td>", kCell = "</td><td>";
    // One unsigned decimal number at p, then the cell separator; false otherwise.
    auto number = [&](size_t &p, uint64_t &value, bool separator) {
        size_t start = p;
        value = 0;
        while (p < html.size() && html[p] >= '0' && html[p] <= '9' && p - start < 10) value = value * 10 + (html[p++] - '0');
        if (p == start || value > UINT32_MAX) return false;
        if (!separator) return true;
        if (html.substr(p, kCell.size()) != kCell) return false;
        p += kCell.size();
        return true;
    };
    for (size_t at = html.find(kRow); at != std::string_view::npos; at = html.find(kRow, at + 1)) {
        size_t p = at + kRow.size();
        uint64_t cpu, job, frame, passes;
        if (number(p, cpu, true) && number(p, job, true) && number(p, frame, true) && number(p, passes, false))
            rows.push_back({static_cast<uint32_t>(cpu), static_cast<uint32_t>(passes)});
    }
    return rows;
}

std::vector<ReportRow> ParseStatusCpus(std::string_view json) {
    std::vector<ReportRow> rows;
    const nlohmann::json doc = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return rows;
    const auto list = doc.find("cpus");
    if (list == doc.end() || !list->is_array()) return rows;
    const auto counter = [](const nlohmann::json &cpu, const char *key) -> std::optional<uint32_t> {
        const auto it = cpu.find(key);
        if (it == cpu.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) return std::nullopt;
        return static_cast<uint32_t>(it->get<uint64_t>());
    };
    for (const nlohmann::json &cpu : *list) {
        if (!cpu.is_object()) continue;
        const std::optional<uint32_t> number = counter(cpu, "cpu"), passes = counter(cpu, "passes");
        if (number && passes) rows.push_back({*number, *passes});
    }
    return rows;
}

double Percentile(const std::vector<double> &sorted, double q) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

int RunLoad(const LoadConfig &config, LoadReport &report, std::string &error) {
    report = {};
    Engine engine(config, report);
    return engine.Run(error);
}
