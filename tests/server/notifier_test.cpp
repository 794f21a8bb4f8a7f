// Tests of the webhook's notifier over real HTTP: a receiver on a loopback port that answers, fails or hangs.
#include "net.h"
#include "notifier.h"
#include "webhook_events.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One HTTP request as the receiver read it.
struct Received {
    std::string head;  // request line and headers
    std::string body;
};

// Takes connections on a loopback port and answers every request with 204,
// with 500, or never (the connection is held open until the end).
class Receiver {
public:
    enum class Answer { Ok, Fail, Hang };

    explicit Receiver(Answer answer) : answer_(answer) {
        listener_ = NetListen(0, 16, false);
        port_ = listener_ == kNoNetSocket ? 0 : NetLocalPort(listener_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Receiver() {
        stopping_ = true;
        NetSocket wake = NetOpenTcp();  // ends the accept
        NetConnect(wake, htonlLoopback(), port_, 2000);
        NetClose(wake);
        thread_.join();
        for (NetSocket s : held_) NetClose(s);
        NetClose(listener_);
    }

    std::string Url(const std::string &path = "/hook") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    uint16_t Port() const { return port_; }

    // Waits until count requests came (at most timeout); all of them so far.
    std::vector<Received> WaitFor(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
        return received_;
    }

private:
    static uint32_t htonlLoopback() {
        const uint8_t bytes[4] = {127, 0, 0, 1};
        uint32_t value;
        std::memcpy(&value, bytes, 4);
        return value;
    }

    void Run() {
        while (!stopping_) {
            NetSocket s = NetAccept(listener_);
            if (s == kNoNetSocket) continue;
            if (stopping_) {
                NetClose(s);
                break;
            }
            Received r;
            if (!ReadRequest(s, r)) {
                NetClose(s);
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(r);
            }
            changed_.notify_all();
            if (answer_ == Answer::Hang) {
                held_.push_back(s);
                continue;
            }
            const char *reply = answer_ == Answer::Ok ? "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n"
                                                      : "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            NetSend(s, reply, std::strlen(reply));
            NetClose(s);
        }
    }

    // Head up to the blank line, then Content-Length bytes of body (bounded).
    static bool ReadRequest(NetSocket s, Received &r) {
        std::string data;
        char buffer[4096];
        size_t headEnd = std::string::npos;
        size_t length = 0;
        while (data.size() < (1u << 20)) {
            if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                r.head = data.substr(0, headEnd);
                std::string lower = r.head;
                for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                const size_t at = lower.find("content-length:");
                if (at != std::string::npos) length = std::stoul(lower.substr(at + 15));
            }
            if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) {
                r.body = data.substr(headEnd + 4, length);
                return true;
            }
            const long n = NetRecv(s, buffer, sizeof buffer);
            if (n <= 0) return false;
            data.append(buffer, static_cast<size_t>(n));
        }
        return false;
    }

    Answer answer_;
    NetSocket listener_ = kNoNetSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<NetSocket> held_;  // the hung connections, receiver thread only
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> received_;
};

// The operator's lines, kept for the checks.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
    static void Log(void *context, const std::string &line) {
        auto &self = *static_cast<Lines *>(context);
        std::lock_guard<std::mutex> lock(self.mutex);
        self.lines.push_back(line);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        lines.clear();
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const std::string &l : lines) all += l + "\n";
        return all;
    }
};

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(NetStartup(), 1);
        lines.Clear();
    }
    void TearDown() override { NetCleanup(); }

    NotifierConfig Config(uint32_t tryMs) {
        NotifierConfig config;
        config.tryTimeoutMs = tryMs;
        config.firstBackoffMs = 100;
        config.log = Lines::Log;
        config.logContext = &lines;
        return config;
    }
    // Outlives every test: a thread a stop left behind may still log.
    static inline Lines lines;
};

// Each receiver's answer: how many tries the notifier makes, what it counts,
// the line it leaves and (upper bound) how long it takes.
TEST_F(NotifierTest, PostsToReceiversThatAnswerFailOrHang) {
    struct Case {
        Receiver::Answer answer;
        size_t tries;
        uint64_t delivered, failed;
        const char *line;  // part of the operator's line; empty: none
        int withinMs;
    } cases[] = {
        {Receiver::Answer::Ok, 1, 1, 0, "", 3000},
        {Receiver::Answer::Fail, 3, 0, 1, "after 3 tries: the answer was HTTP 500", 5000},
        // 3 tries of 500 ms that time out, 100 + 200 ms apart.
        {Receiver::Answer::Hang, 3, 0, 1, "after 3 tries: timed out", 8000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        Receiver receiver(c.answer);
        ASSERT_NE(receiver.Port(), 0);
        lines.Clear();
        Notifier *notifier = NotifierStart(Config(500));
        ASSERT_NE(notifier, nullptr);
        const std::string body = EventEnvelope("job.finished", {{"job", R"({"id":"00ff","frames":[1,2]})"}});
        const auto start = Clock::now();
        NotifierPostBody(notifier, receiver.Url("/hook?key=1"), "job.finished", body);
        EXPECT_TRUE(NotifierIdle(notifier, static_cast<uint32_t>(c.withinMs)));
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const std::vector<Received> got = receiver.WaitFor(c.tries, std::chrono::milliseconds(1000));
        const NotifierCounts counts = NotifierTotals(notifier);
        NotifierStop(notifier, 0);
        EXPECT_LE(tookMs, c.withinMs);
        EXPECT_EQ(got.size(), c.tries);
        EXPECT_EQ(counts.delivered, c.delivered);
        EXPECT_EQ(counts.failed, c.failed);
        EXPECT_EQ(counts.tries, c.tries);
        for (const Received &r : got) {
            EXPECT_EQ(r.head.substr(0, r.head.find("\r\n")), "POST /hook?key=1 HTTP/1.1");
            EXPECT_NE(r.head.find("\r\nContent-Type: application/json"), std::string::npos) << r.head;
            EXPECT_EQ(r.body, R"({"event":"job.finished","job":{"id":"00ff","frames":[1,2]}})");
        }
        const std::string all = lines.All();
        if (*c.line) {
            EXPECT_NE(all.find(c.line), std::string::npos) << all;
            EXPECT_NE(all.find("gave up on job.finished to http://127.0.0.1:"), std::string::npos) << all;
            EXPECT_EQ(all.find("key=1"), std::string::npos) << "the line shows the address's query: " << all;
        } else {
            EXPECT_EQ(all, "");
        }
    }
}

// A hook that hangs holds neither the poster nor the stop: NotifierStop ends
// the try under way (or, where that cannot be, leaves it), though each try may take 10 s.
TEST_F(NotifierTest, StopIsBoundedWhileTheHookHangs) {
    Receiver receiver(Receiver::Answer::Hang);
    Notifier *notifier = NotifierStart(Config(10000));
    ASSERT_NE(notifier, nullptr);
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) NotifierPostBody(notifier, receiver.Url(), "cpu.stalled", "{}");
    const auto postedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_EQ(receiver.WaitFor(1, std::chrono::seconds(5)).size(), 1u);
    const auto stopStart = Clock::now();
    const bool ended = NotifierStop(notifier, 200);
    const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart).count();
    EXPECT_LT(postedMs, 100);
    EXPECT_LT(stopMs, 2000);
#ifdef _WIN32
    // Wine's WinHTTP does not cancel a blocked call when its handle is closed,
    // so there the try ends at its time-out, after the stop has left it.
    if (!ended) return;
#endif
    EXPECT_TRUE(ended) << "the try under way was not aborted";
    EXPECT_NE(lines.All().find("stopped with 4 event(s) unsent"), std::string::npos) << lines.All();
}

// A full queue drops its oldest events, says so once per burst, and an empty
// address sends nothing.
TEST_F(NotifierTest, FullQueueDropsTheOldest) {
    static std::mutex gate;
    static std::vector<std::string> posted;
    NotifierConfig config = Config(1000);
    config.maxQueued = 3;
    config.post = [](const char *, const char *body, size_t length, uint32_t, const std::atomic<bool> *,
                     HttpPostResult &) {
        std::lock_guard<std::mutex> lock(gate);
        posted.emplace_back(body, length);
        return 1;
    };
    std::unique_lock<std::mutex> hold(gate);  // the first post waits until the queue has overflowed
    Notifier *notifier = NotifierStart(config);
    ASSERT_NE(notifier, nullptr);
    NotifierPostBody(notifier, "", "none", "skipped");
    for (int i = 0; i < 10; ++i) {
        NotifierPostBody(notifier, "http://127.0.0.1:1/", "n", std::to_string(i));
        if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // taken by the thread
    }
    hold.unlock();
    EXPECT_TRUE(NotifierIdle(notifier, 5000));
    const NotifierCounts counts = NotifierTotals(notifier);
    NotifierStop(notifier, 0);
    EXPECT_EQ(posted, (std::vector<std::string>{"0", "7", "8", "9"}));
    EXPECT_EQ(counts.queued, 10u);
    EXPECT_EQ(counts.dropped, 6u);
    EXPECT_NE(lines.All().find("queue was full, dropped the 6 oldest event(s)"), std::string::npos) << lines.All();
}

}  // namespace
