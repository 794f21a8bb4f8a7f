// Tests of the dashboard's HTTP server over real loopback connections, with a stand-in core thread that owns table and settings.
#include "dashboard.h"
#include "file_writer.h"
#include "file_calls.h"
#include "files.h"
#include "http_client.h"
#include "http_server.h"
#include "notifier.h"
#include "settings.h"
#include "settings_store.h"
#include "settings_store_raw.h"
#include "test_ports.h"
#include "token.h"
#include "web_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace webtest;
using namespace std::chrono_literals;
using nlohmann::json;

// The one thread that touches the table and the settings, as the front ends' loops do.
class CoreLoop {
public:
    CoreLoop() : thread_([this] { Loop(); }) {}
    ~CoreLoop() {
        Post([this] { quit_ = true; });
        thread_.join();
    }
    // Runs task on the core thread and waits for it.
    void Run(std::function<void()> task) {
        std::promise<void> done;
        Post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
    }

private:
    void Loop() {
        while (!quit_) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

class WebDashboard : public ::testing::Test {
protected:
    void SetUp() override {
        htmlPath = ::testing::TempDir() + "pellick-dashboard-" + std::to_string(reinterpret_cast<uintptr_t>(this)) +
                   ".htm";
        core.Run([&] {
            settings.htmlOutput = 1;
            std::snprintf(settings.htmlPath, sizeof settings.htmlPath, "%s", htmlPath.c_str());
        });
        Start(true);
    }
    void TearDown() override {
        DashboardStop(dashboard);
        std::remove(htmlPath.c_str());
    }

    // answerWakes: the core takes changes; otherwise wakes are only counted.
    void Start(bool answerWakes) {
        DashboardConfig config;
        config.port = 0;
        config.wake = answerWakes ? &WebDashboard::Wake : &WebDashboard::CountWake;
        config.wakeContext = this;
        std::string error;
        dashboard = DashboardStart(config, error);
        ASSERT_NE(dashboard, nullptr) << error;
        port = DashboardPort(*dashboard);
        ASSERT_NE(port, 0);
    }
    static void Wake(void *context) {
        auto *self = static_cast<WebDashboard *>(context);
        self->core.Post([self] { DashboardRunPending(*self->dashboard, self->settings, self->host); });
    }
    static void CountWake(void *context) { static_cast<WebDashboard *>(context)->unheardWakes += 1; }
    static void RefreshHost(void *context) {
        auto *self = static_cast<WebDashboard *>(context);
        // As the front ends refresh: the report and file, then the snapshot.
        if (RefreshStatus(self->table.Get(), self->settings, self->report, self->htmlWriter))
            DashboardPublish(*self->dashboard, self->table.Get(), self->report, JobInfos(self->report.data), self->settings);
    }
    // Changes the table on the core thread, then refreshes as the front ends do.
    void Update(std::function<void(TestTable &)> change) {
        core.Run([&] {
            change(table);
            RefreshHost(this);
        });
    }
    HttpClient Client() { return HttpClient("127.0.0.1", port); }
    json Status() {
        auto cli = Client();
        auto res = cli.Get("/status.json");
        if (res.status != 200) {
            ADD_FAILURE() << "GET /status.json failed: " << res.status << " " << res.error;
            return json();
        }
        return json::parse(res.body);
    }
    // A change as a script sends it: with the token unless told otherwise.
    HttpResult PostOptions(const std::string &body, HttpHeaders headers = {}, const char *type = "application/json",
                           bool withToken = true) {
        if (withToken) headers.emplace_back("Authorization", "Bearer " + DashboardToken(*dashboard));
        auto cli = Client();
        return cli.Post("/options", body, type, headers);
    }

    StoreSandbox tokenStore;  // the token the dashboard makes lands here, not in the user's settings
    ServerSettings settings;  // core thread only; MaxScale 3, Resolution 4
    WriterGuard writer{FixedDateTime};
    CoreLoop core;
    TestTable table;
    StatusReport report;
    FileWriter *htmlWriter = nullptr;  // as the front ends hand over the HTML file; written at once when null
    ServerHost host{this, nullptr, &WebDashboard::RefreshHost, nullptr};
    Dashboard *dashboard = nullptr;
    uint16_t port = 0;
    std::atomic<int> unheardWakes{0};
    std::string htmlPath;
};

TEST_F(WebDashboard, ServesThePageTheDataAndTheFragment) {
    auto cli = Client();
    auto early = cli.Get("/status.json");
    EXPECT_EQ(early.status, 503) << "no snapshot before the first refresh";

    Update([](TestTable &t) { OneJobTwoCpus(t); });

    auto page = cli.Get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.Header("Content-Type"), "text/html;charset=utf-8");
    EXPECT_NE(page.body.find("<title>Render Status</title>"), std::string::npos);
    EXPECT_NE(page.Header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    // The stall time's range comes from the server's constants, which the page's script checks against.
    EXPECT_NE(page.body.find("min=\"" + std::to_string(kMinStallSeconds) + "\" max=\"" +
                             std::to_string(kMaxStallSeconds) + "\""),
              std::string::npos);
    EXPECT_EQ(page.body.find('@'), std::string::npos) << "a fact left unfilled";
    for (const char *asset : {"/dashboard.js", "/dashboard.css", "/favicon.svg"}) {
        auto res = cli.Get(asset);
        EXPECT_EQ(res.status, 200) << asset;
        EXPECT_FALSE(res.body.empty()) << asset;
        EXPECT_NE(page.body.find(std::string("\"") + asset + "\""), std::string::npos) << "the page uses " << asset;
    }
    EXPECT_EQ(cli.Get("/no-such-file").status, 404);
    EXPECT_EQ(cli.Get("/status.json?x=1").status, 200) << "a query does not change the route";
    const HttpResult head = cli.Request("HEAD", "/status.json", {}, {});
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());

    const json status = Status();
    EXPECT_EQ(status["fields"][0]["text"], "2");
    EXPECT_EQ(status["fields"][1]["text"], "40");
    EXPECT_EQ(status["jobs"][0]["sceneName"], "Castle");
    EXPECT_GE(status["generation"].get<uint64_t>(), 1u);

    // The summary is the document without its per-CPU table, which comes a page at a time.
    auto summary = cli.Get("/summary.json");
    EXPECT_EQ(summary.status, 200);
    json expected = status;
    expected.erase("cpus");
    EXPECT_EQ(json::parse(summary.body), expected);
    struct PageCase {
        const char *target;
        int status;
        std::vector<int64_t> cpus;
    };
    const PageCase pages[] = {
        {"/cpus.json", 200, {1, 2}},
        {"/cpus.json?sort=-cpu&limit=1", 200, {2}},
        {"/cpus.json?offset=1&job=1", 200, {2}},
        {"/cpus.json?limit=100000", 400, {}},
        {"/cpus.json?sort=name", 400, {}},
        {"/history.json?limit=1001", 400, {}},
        {"/history.json", 503, {}},  // this dashboard was given no history
    };
    for (const PageCase &c : pages) {
        auto res = cli.Get(c.target);
        EXPECT_EQ(res.status, c.status) << c.target << ": " << res.body;
        EXPECT_EQ(res.Header("Content-Type"), "application/json") << c.target;
        const json body = json::parse(res.body, nullptr, false);
        if (c.status != 200) {
            EXPECT_TRUE(body.contains("error")) << c.target << ": " << res.body;
            continue;
        }
        std::vector<int64_t> got;
        for (const json &row : body["cpus"]) got.push_back(row["cpu"].get<int64_t>());
        EXPECT_EQ(got, c.cpus) << c.target << ": " << res.body;
        EXPECT_EQ(body["total"], 2) << c.target;
    }

    auto fragment = cli.Get("/fragment.html");
    EXPECT_EQ(fragment.status, 200);
    EXPECT_EQ(fragment.body, ReadFile(htmlPath)) << "the same bytes as the HTML file";
    EXPECT_NE(fragment.body.find("Job Stats"), std::string::npos);

    auto metrics = cli.Get("/metrics");
    EXPECT_EQ(metrics.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(metrics.body.find("\npellick_active_cpus 2\n"), std::string::npos) << metrics.body;
    EXPECT_NE(metrics.body.find("pellick_connections_open 2\n"), std::string::npos) << metrics.body;
}

// An HTML folder that hangs (a dead network share): the write blocks until
// released, 30 s at most, while the core keeps taking messages.
struct HungDisk {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline bool released = false;
    static inline int writes = 0;
    static int Write(const char *path, const void *data, size_t size, FileFault *fault) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (writes++ == 0) changed.wait_for(lock, 30s, [] { return released; });
        }
        return kDefaultFileCalls.writeAtomic(path, data, size, fault);
    }
    static void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
};

TEST_F(WebDashboard, AHungHtmlWriteStopsNeitherCountingNorTheDashboard) {
    fileCalls.writeAtomic = HungDisk::Write;
    FileWriter writer(WriteWholeFile);
    core.Run([&] { htmlWriter = &writer; });
    uint64_t lastGeneration = 0;
    for (uint64_t i = 1; i <= 20; ++i) {
        Update([&](TestTable &t) {
            Progress(t.AddCpu(static_cast<int32_t>(i)), 1, 100, 30, 30, 60, 0);
            t.table.messagesAccepted = i;
        });
        const json status = Status();
        EXPECT_EQ(status["messages"]["accepted"], i);
        EXPECT_EQ(status["fields"][0]["text"], std::to_string(i));
        EXPECT_GT(status["generation"].get<uint64_t>(), lastGeneration);
        lastGeneration = status["generation"].get<uint64_t>();
    }
    {
        std::lock_guard<std::mutex> lock(HungDisk::mutex);
        EXPECT_EQ(HungDisk::writes, 1) << "the first write still hangs; the later fragments wait as one";
        EXPECT_FALSE(HungDisk::released);
    }
    HungDisk::Release();
    EXPECT_TRUE(writer.Drain(-1));
    fileCalls = kDefaultFileCalls;
    EXPECT_EQ(HungDisk::writes, 2) << "the hung fragment, then only the newest";
    auto fragment = Client().Get("/fragment.html");
    ASSERT_EQ(fragment.status, 200) << fragment.error;
    EXPECT_EQ(ReadFile(htmlPath), fragment.body);
    EXPECT_NE(fragment.body.find("<tr><td>21</td><td>1</td>"), std::string::npos) << "the last CPU added";
    core.Run([&] { htmlWriter = nullptr; });
}

TEST_F(WebDashboard, EventStreamSendsEveryNewSnapshot) {
    Update([](TestTable &t) { OneJobTwoCpus(t); });

    std::mutex m;
    std::condition_variable cv;
    std::vector<json> events;
    std::string buffer;
    std::atomic<bool> enough{false};
    std::thread reader([&] {
        auto cli = Client();
        cli.Stream("/events", [&](std::string_view data) {
            std::lock_guard<std::mutex> lock(m);
            buffer.append(data);
            for (size_t end; (end = buffer.find("\n\n")) != std::string::npos; buffer.erase(0, end + 2)) {
                const std::string event = buffer.substr(0, end);
                const size_t at = event.find("data: ");
                if (at != std::string::npos) events.push_back(json::parse(event.substr(at + 6)));
            }
            cv.notify_all();
            return !enough.load();
        });
    });
    const auto waitFor = [&](size_t count) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 20s, [&] { return events.size() >= count; });
    };
    ASSERT_TRUE(waitFor(1)) << "the current snapshot comes at once";
    EXPECT_EQ(events[0]["fields"][1]["text"], "40");
    EXPECT_EQ(events[0]["jobs"][0]["cpus"], 2);
    EXPECT_FALSE(events[0].contains("cpus")) << "the stream never carries the per-CPU table";

    Update([](TestTable &t) { t.entries[0].record.passesDone = 31; });
    ASSERT_TRUE(waitFor(2));
    EXPECT_EQ(events[1]["fields"][1]["text"], "41");
    EXPECT_GT(events[1]["generation"].get<uint64_t>(), events[0]["generation"].get<uint64_t>());

    enough = true;
    Update([](TestTable &t) { t.entries[0].record.passesDone = 32; });  // one more event ends the reader
    reader.join();
}

TEST_F(WebDashboard, LoopbackChangesApplyOnTheCoreThreadAndPersist) {
    StoreSandbox store;
    Update([](TestTable &t) { OneJobTwoCpus(t); });
    EXPECT_EQ(Status()["fields"][7]["text"], "20:00.0000");

    auto res = PostOptions(R"({"maxScale":0,"resolution":1})");
    ASSERT_EQ(res.status, 200) << res.body << res.error;
    const json answer = json::parse(res.body);
    EXPECT_EQ(answer["persisted"], true);
    EXPECT_EQ(answer["settings"]["maxScale"], 0);
    EXPECT_EQ(answer["settings"]["resolution"], 1);
    EXPECT_EQ(answer["settings"]["sample"], "278627.1");

    // Answered after the refresh: the data already shows the new form.
    const json status = Status();
    EXPECT_EQ(status["fields"][7]["text"], "1200.0");
    EXPECT_EQ(status["settings"]["maxScale"], 0);
    core.Run([this] {
        EXPECT_EQ(settings.maxScale, 0);
        EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 9, 0, 3), 0);
        EXPECT_EQ(ReadSettingInt(kSettingResolution, 9, 0, 4), 1);
    });

    const std::string other = htmlPath + ".other.htm";
    res = PostOptions(json({{"htmlPath", other}}).dump(), {{"Origin", "http://127.0.0.1:" + std::to_string(port)}});
    ASSERT_EQ(res.status, 200) << res.body;
    EXPECT_NE(ReadFile(other).find("Job Stats"), std::string::npos) << "written at once, at the new path";
    std::remove(other.c_str());
}

TEST_F(WebDashboard, RefusedChangesChangeNothing) {
    Update([](TestTable &t) { OneJobTwoCpus(t); });
    struct Case {
        const char *what;
        std::string body;
        HttpHeaders headers;
        const char *type;
        int status;
        bool withToken = true;
    };
    const std::string token = DashboardToken(*dashboard);
    const std::string cookie = DashboardCookieName(port);
    const std::string self = "http://127.0.0.1:" + std::to_string(port);
    const Case cases[] = {
        {"a page of another site", R"({"maxScale":0})", {{"Origin", "http://evil.example"}}, "application/json", 403},
        {"a form post", "maxScale=0", {}, "application/x-www-form-urlencoded", 415},
        {"plain text", R"({"maxScale":0})", {}, "text/plain", 415},
        {"not JSON", "{maxScale:0}", {}, "application/json", 400},
        {"out of range", R"({"maxScale":9})", {}, "application/json", 400},
        {"a relative path", R"({"htmlPath":"status.htm"})", {}, "application/json", 400},
        {"not a page", R"({"htmlPath":"/etc/passwd"})", {}, "application/json", 400},
        {"no token", R"({"maxScale":0})", {}, "application/json", 403, false},
        {"a wrong token", R"({"maxScale":0})", {{"Authorization", "Bearer " + std::string(token.size(), '0')}},
         "application/json", 403, false},
        {"a token one character short", R"({"maxScale":0})", {{"Authorization", "Bearer " + token.substr(1)}},
         "application/json", 403, false},
        {"a wrong cookie", R"({"maxScale":0})", {{"Cookie", cookie + "=" + std::string(token.size(), 'a')}},
         "application/json", 403, false},
        {"another port's cookie", R"({"maxScale":0})", {{"Cookie", DashboardCookieName(1) + "=" + token}},
         "application/json", 403, false},
        {"a good cookie from another site", R"({"maxScale":0})",
         {{"Cookie", cookie + "=" + token}, {"Origin", "http://evil.example"}}, "application/json", 403, false},
    };
    for (const Case &c : cases) {
        auto res = PostOptions(c.body, c.headers, c.type, c.withToken);
        EXPECT_EQ(res.status, c.status) << c.what << ": " << res.body << res.error;
        EXPECT_TRUE(json::parse(res.body, nullptr, false).contains("error")) << c.what << ": " << res.body;
    }
    auto big = PostOptions("{\"htmlPath\":\"" + std::string(100000, 'x') + "\"}");
    EXPECT_EQ(big.status, 413);
    core.Run([this] { EXPECT_EQ(settings.maxScale, 3); });
    EXPECT_EQ(Status()["settings"]["maxScale"], 3);
}

TEST_F(WebDashboard, StoppingAnswersWaitingChangesAndEndsStreams) {
    DashboardStop(dashboard);
    Start(false);  // a core that never comes to take changes
    Update([](TestTable &t) { OneJobTwoCpus(t); });

    std::atomic<bool> streamStarted{false}, streamEnded{false};
    std::thread stream([&] {
        auto cli = Client();
        cli.Stream("/events", [&](std::string_view) {
            streamStarted = true;
            return true;
        });
        streamEnded = true;
    });
    auto change = std::async(std::launch::async, [&] { return PostOptions(R"({"maxScale":1})"); });
    // The wake comes right after the change is queued.
    for (int i = 0; i < 2000 && !(unheardWakes > 0 && streamStarted); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(unheardWakes > 0 && streamStarted);
    DashboardStop(dashboard);
    dashboard = nullptr;
    auto res = change.get();
    EXPECT_EQ(res.status, 503) << res.body << res.error;
    stream.join();
    EXPECT_TRUE(streamEnded);
    core.Run([this] { EXPECT_EQ(settings.maxScale, 3); });
}

TEST_F(WebDashboard, LiveStreamsAreLimitedAndTheRestPoll) {
    Update([](TestTable &t) { OneJobTwoCpus(t); });
    std::atomic<bool> stop{false};
    std::atomic<int> open{0};
    std::vector<std::thread> streams;
    const int limit = static_cast<int>(kHttpMaxStreams);
    for (int i = 0; i < limit; ++i) {
        streams.emplace_back([&] {
            auto cli = Client();
            bool counted = false;
            cli.Stream("/events", [&](std::string_view) {
                if (!counted) open += 1;
                counted = true;
                return !stop.load();
            });
        });
    }
    for (int i = 0; i < 2000 && open < limit; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(open, limit);
    auto cli = Client();
    auto refused = cli.Get("/events");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.Header("Retry-After"), "10");
    EXPECT_EQ(cli.Get("/status.json").status, 200) << "polling still works";

    stop = true;
    Update([](TestTable &t) { t.entries[0].record.passesDone = 31; });  // an event lets each stream end
    for (auto &t : streams) t.join();
}

TEST_F(WebDashboard, OpeningThePageWithTheTokenSetsTheCookie) {
    const std::string token = DashboardToken(*dashboard);
    EXPECT_EQ(DashboardUrl(*dashboard), "http://localhost:" + std::to_string(port) + "/?token=" + token);
    auto cli = Client();
    const HttpResult opened = cli.Get("/?token=" + token);
    EXPECT_EQ(opened.status, 303);
    EXPECT_EQ(opened.Header("Location"), "/") << "the token leaves the address bar";
    EXPECT_EQ(opened.Header("Set-Cookie"),
              DashboardCookieName(port) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/");
    const HttpResult wrong = cli.Get("/?token=" + std::string(token.size(), 'f'));
    EXPECT_EQ(wrong.status, 303);
    EXPECT_EQ(wrong.Header("Set-Cookie"), "") << "a wrong token sets nothing";

    // The page's own change: the cookie and its Origin.
    Update([](TestTable &t) { OneJobTwoCpus(t); });
    const HttpResult res = PostOptions(R"({"maxScale":2})",
                                       {{"Cookie", "other=1; " + DashboardCookieName(port) + "=" + token},
                                        {"Origin", "http://127.0.0.1:" + std::to_string(port)}},
                                       "application/json", false);
    EXPECT_EQ(res.status, 200) << res.body;
    const HttpResult scripted = PostOptions(R"({"maxScale":3})", {{"Authorization", "token " + token}},
                                            "application/json", false);
    EXPECT_EQ(scripted.status, 200) << scripted.body;
}

TEST(DashboardToken, MadeOnceFromTheRandomSourceAndKeptBesideTheSettings) {
    StoreSandbox store;
    bool stored = false;
    const std::string first = LoadOrMakeToken(stored);
    EXPECT_TRUE(stored);
    EXPECT_TRUE(IsToken(first)) << first;
    EXPECT_EQ(first.size(), kTokenBytes * 2);
    EXPECT_EQ(LoadOrMakeToken(stored), first) << "the next start finds the same token";
#ifndef _WIN32
    const std::string folder = std::string(getenv("XDG_CONFIG_HOME")) + "/Zandrel/Pellick/";
    struct stat st{};
    ASSERT_EQ(stat((folder + kDashboardTokenFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "only its owner may read it";
    EXPECT_EQ(ReadFile(folder + kDashboardTokenFile), first + "\n");
    EXPECT_EQ(ReadFile(folder + "settings.ini").find(first), std::string::npos) << "not among the settings";
#endif
    // A stored text that is no token is replaced by a new one.
    ASSERT_EQ(WriteSettingString(kSettingDashboardToken, "short"), 1);
    const std::string second = LoadOrMakeToken(stored);
    EXPECT_TRUE(IsToken(second));
    EXPECT_NE(second, first);
}

TEST(WebDashboardStart, ABusyPortIsAClearFailure) {
    StoreSandbox store;
    DashboardConfig config;
    config.port = 0;
    config.wake = [](void *) {};
    std::string error;
    Dashboard *first = DashboardStart(config, error);
    ASSERT_NE(first, nullptr) << error;
    config.port = DashboardPort(*first);
    EXPECT_EQ(DashboardStart(config, error), nullptr);
    EXPECT_NE(error.find(std::to_string(config.port)), std::string::npos) << error;
    DashboardStop(first);
}

TEST(WebDashboardPort, TestVariablesThenTheStoredSetting) {
    StoreSandbox store;
    constexpr const char *kStatusRefused = "PELLICK_TEST_PORT is not a port number (1 to 65535)";
    constexpr const char *kHttpRefused = "PELLICK_TEST_HTTP_PORT is not a port number (0 to 65535)";
    struct Case {
        const char *httpPort;    // PELLICK_TEST_HTTP_PORT, nullptr: unset
        const char *statusPort;  // PELLICK_TEST_PORT
        int stored;              // HttpPort in the store, -1: missing
        int expected;            // the port, -1 off
        const char *refused;     // the error when the variables are refused
    };
    const Case cases[] = {
        {nullptr, nullptr, -1, 10432, nullptr},
        {nullptr, nullptr, 8080, 8080, nullptr},
        {nullptr, nullptr, 0, -1, nullptr},
        {"0", nullptr, -1, 0, nullptr},
        {"9100", "5000", 0, 9100, nullptr},
        {"", "", 8080, 8080, nullptr},
        {nullptr, "5000", 8080, -1, nullptr},
        {"70000", nullptr, -1, 0, kHttpRefused},
        {"12ab", nullptr, -1, 0, kHttpRefused},
        {"-1", nullptr, -1, 0, kHttpRefused},
        {" 80", nullptr, -1, 0, kHttpRefused},
        {nullptr, "0", -1, 0, kStatusRefused},
        {nullptr, "65536", -1, 0, kStatusRefused},
        {"9100", "5000x", -1, 0, kStatusRefused},
    };
    for (const Case &c : cases) {
        SetEnv("PELLICK_TEST_HTTP_PORT", c.httpPort);
        SetEnv("PELLICK_TEST_PORT", c.statusPort);
        if (c.stored >= 0) {
            WriteSettingInt(kSettingHttpPort, c.stored);
        } else {
            WriteSetting("", kSettingHttpPort, kSettingDword, nullptr, 0);
        }
        const std::string what = std::string(c.httpPort ? c.httpPort : "-") + " " +
                                 (c.statusPort ? c.statusPort : "-") + " " + std::to_string(c.stored);
        TestPorts ports;
        std::string error;
        ASSERT_EQ(ReadTestPorts(ports, error), c.refused == nullptr) << what << ": " << error;
        if (c.refused) {
            EXPECT_EQ(error, c.refused) << what;
        } else {
            EXPECT_EQ(DashboardPortSetting(kDashboardPort, ports), c.expected) << what;
        }
    }
    SetEnv("PELLICK_TEST_HTTP_PORT", nullptr);
    SetEnv("PELLICK_TEST_PORT", nullptr);
}

TEST(TestPorts, PeerSecondsAreOneToSixty) {
    constexpr const char *kRefused = "PELLICK_TEST_PEER_SECONDS is not a number of seconds (1 to 60)";
    struct Case {
        const char *text;
        int seconds;  // -1: unset
        bool ok;
    };
    const Case cases[] = {{nullptr, -1, true}, {"", -1, true}, {"1", 1, true},  {"60", 60, true},
                          {"0", 0, false},     {"61", 0, false}, {"5s", 0, false}, {"-3", 0, false}};
    for (const Case &c : cases) {
        SetEnv("PELLICK_TEST_PEER_SECONDS", c.text);
        TestPorts ports;
        std::string error;
        ASSERT_EQ(ReadTestPorts(ports, error), c.ok) << (c.text ? c.text : "unset") << ": " << error;
        if (c.ok) {
            EXPECT_EQ(ports.peerSeconds ? int{*ports.peerSeconds} : -1, c.seconds) << (c.text ? c.text : "unset");
        } else {
            EXPECT_EQ(error, kRefused);
        }
    }
    SetEnv("PELLICK_TEST_PEER_SECONDS", nullptr);
}

TEST(TestPorts, WebhookTriesAreOneTenthToTenSeconds) {
    constexpr const char *kRefused = "PELLICK_TEST_WEBHOOK_MS is not a number of milliseconds (100 to 10000)";
    struct Case {
        const char *text;
        int ms;  // -1: unset
        bool ok;
    };
    const Case cases[] = {{nullptr, -1, true}, {"100", 100, true}, {"10000", 10000, true},
                          {"99", 0, false},    {"10001", 0, false}, {"1e3", 0, false}};
    for (const Case &c : cases) {
        SetEnv("PELLICK_TEST_WEBHOOK_MS", c.text);
        TestPorts ports;
        std::string error;
        ASSERT_EQ(ReadTestPorts(ports, error), c.ok) << (c.text ? c.text : "unset") << ": " << error;
        if (c.ok) {
            EXPECT_EQ(ports.webhookMs ? int{*ports.webhookMs} : -1, c.ms) << (c.text ? c.text : "unset");
            EXPECT_EQ(ServerNotifierConfig(ports.webhookMs.value_or(0)).tryTimeoutMs,
                      c.ms < 0 ? 10000u : static_cast<uint32_t>(c.ms));
        } else {
            EXPECT_EQ(error, kRefused);
        }
    }
    SetEnv("PELLICK_TEST_WEBHOOK_MS", nullptr);
}

}  // namespace
