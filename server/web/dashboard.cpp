// The dashboard's HTTP side: routes, the live event stream, the hand-over of option changes, and snapshot publication.
#include "dashboard.h"

#include "listen_options.h"
#include "options.h"
#include "settings_store.h"
#include "snapshot.h"
#include "status_json.h"
#include "web_assets.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// HTTP worker threads, and how many of them live event streams may hold; a
// page refused a stream polls instead.
constexpr size_t kWorkerThreads = 12;
constexpr int kMaxEventStreams = 6;
// Events are sent no more often than this, however fast messages arrive.
constexpr auto kEventInterval = 250ms;
// A comment line this often lets a stream notice a client that went away.
constexpr auto kEventKeepAlive = 15s;
// How long a change waits for the core thread.
constexpr auto kChangeTimeout = 5s;
constexpr size_t kMaxBody = 64 * 1024;

const char *const kPageSecurity =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A snapshot and its JSON, made once, on first demand, by whichever HTTP thread asks first.
struct Published {
    WebSnapshot snapshot;
    mutable std::once_flag jsonOnce;
    mutable std::string json;

    const std::string &Json() const {
        std::call_once(jsonOnce, [this] { json = StatusJson(snapshot); });
        return json;
    }
};

struct PendingChange {
    OptionsChange change;
    bool done = false;
    int persisted = 0;
};

void JsonError(httplib::Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content(ErrorJson(message), "application/json");
}

}  // namespace

struct Dashboard {
    DashboardConfig config;
    httplib::Server http;
    std::thread thread;
    std::atomic<bool> threadEnded{false};
    uint16_t port = 0;

    // Publication: the core thread swaps in a new snapshot; HTTP threads copy the pointer.
    std::mutex snapshotMutex;
    std::condition_variable snapshotChanged;
    std::shared_ptr<const Published> current;
    bool stopping = false;
    std::atomic<int> eventStreams{0};

    // Core thread only.
    uint64_t generation = 0;
    JobHistory history;

    // Changes waiting for the core thread.
    std::mutex pendingMutex;
    std::condition_variable pendingDone;
    std::deque<std::shared_ptr<PendingChange>> pending;
    bool pendingClosed = false;

    std::shared_ptr<const Published> Current() {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        return current;
    }

    void Routes();
    void ServeEvents(httplib::Response &res);
    void ServeChange(const httplib::Request &req, httplib::Response &res);
};

void Dashboard::Routes() {
    http.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}});
    for (const WebAsset &asset : kWebAssets) {
        http.Get(asset.path, [&asset](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(asset.data), asset.size, asset.contentType);
            res.set_header("Content-Security-Policy", kPageSecurity);
            res.set_header("X-Frame-Options", "DENY");
        });
    }
    const auto withSnapshot = [this](httplib::Response &res, auto serve) {
        const std::shared_ptr<const Published> pub = Current();
        if (!pub) {
            JsonError(res, 503, "the server has not made its first report yet");
            return;
        }
        serve(*pub);
    };
    http.Get("/status.json", [withSnapshot](const httplib::Request &, httplib::Response &res) {
        withSnapshot(res, [&](const Published &pub) { res.set_content(pub.Json(), "application/json"); });
    });
    http.Get("/fragment.html", [withSnapshot](const httplib::Request &, httplib::Response &res) {
        withSnapshot(res, [&](const Published &pub) { res.set_content(pub.snapshot.fragment, "text/html"); });
    });
    http.Get("/metrics", [withSnapshot](const httplib::Request &, httplib::Response &res) {
        withSnapshot(res, [&](const Published &pub) {
            res.set_content(MetricsText(pub.snapshot), "text/plain; version=0.0.4; charset=utf-8");
        });
    });
    http.Get("/events", [this](const httplib::Request &, httplib::Response &res) { ServeEvents(res); });
    http.Post("/options", [this](const httplib::Request &req, httplib::Response &res) { ServeChange(req, res); });
}

void Dashboard::ServeEvents(httplib::Response &res) {
    if (eventStreams.fetch_add(1) >= kMaxEventStreams) {
        eventStreams.fetch_sub(1);
        res.set_header("Retry-After", "10");
        JsonError(res, 503, "too many live streams; poll /status.json");
        return;
    }
    struct Stream {
        uint64_t sent = 0;
        SteadyClock::time_point lastSend{};
        bool greeted = false;
    };
    auto stream = std::make_shared<Stream>();
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](size_t, httplib::DataSink &sink) {
            if (!stream->greeted) {
                stream->greeted = true;
                static const char kRetry[] = "retry: 2000\n\n";  // reconnect after 2 s when cut
                return sink.write(kRetry, sizeof kRetry - 1);
            }
            std::shared_ptr<const Published> pub;
            {
                std::unique_lock<std::mutex> lock(snapshotMutex);
                snapshotChanged.wait_until(lock, stream->lastSend + kEventInterval, [&] { return stopping; });
                const auto fresh = [&] { return stopping || (current && current->snapshot.generation != stream->sent); };
                if (!snapshotChanged.wait_for(lock, kEventKeepAlive, fresh)) {
                    lock.unlock();
                    static const char kKeepAlive[] = ": keep-alive\n\n";
                    return sink.write(kKeepAlive, sizeof kKeepAlive - 1);
                }
                if (stopping) {
                    lock.unlock();
                    sink.done();
                    return true;
                }
                pub = current;
            }
            stream->sent = pub->snapshot.generation;
            stream->lastSend = SteadyClock::now();
            std::string event = "id: " + std::to_string(stream->sent) + "\nevent: status\ndata: ";
            event += pub->Json();
            event += "\n\n";
            return sink.write(event.data(), event.size());
        },
        [this](bool) { eventStreams.fetch_sub(1); });
}

void Dashboard::ServeChange(const httplib::Request &req, httplib::Response &res) {
    // The address check comes first: nothing from elsewhere is even parsed.
    if (!ChangeAllowed(req.remote_addr, req.get_header_value("Host"), req.get_header_value("Origin"))) {
        JsonError(res, 403, "options can be changed only on the server's own machine (http://localhost)");
        return;
    }
    // A JSON type cannot be sent by a plain form of another site without the browser asking first.
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0) {
        JsonError(res, 415, "send the options as application/json");
        return;
    }
    auto change = std::make_shared<PendingChange>();
    std::string error;
    if (!ParseOptionsChange(req.body, config.ansiPaths, change->change, error)) {
        JsonError(res, 400, error);
        return;
    }
    {
        std::unique_lock<std::mutex> lock(pendingMutex);
        if (pendingClosed) {
            JsonError(res, 503, "the server is stopping");
            return;
        }
        pending.push_back(change);
    }
    config.wake(config.wakeContext);
    {
        std::unique_lock<std::mutex> lock(pendingMutex);
        if (!pendingDone.wait_for(lock, kChangeTimeout, [&] { return change->done || pendingClosed; }) ||
            !change->done) {
            JsonError(res, 503, "the server did not take the change in time");
            return;
        }
    }
    // The snapshot made right after the change holds the settings as the page will show them.
    const std::shared_ptr<const Published> pub = Current();
    res.set_content(ChangeResultJson(change->persisted != 0, pub ? &pub->snapshot.settings : nullptr),
                    "application/json");
}

int DashboardPortSetting(uint16_t defaultPort, const TestPorts &testPorts) {
    if (testPorts.http) return *testPorts.http;
    if (testPorts.status) return -1;
    const int32_t port = ReadSettingInt(kSettingHttpPort, defaultPort, 0, 65535);
    return port > 0 ? port : -1;
}

Dashboard *DashboardStart(const DashboardConfig &config, std::string &error) {
    if (!config.wake) {
        error = "no way to reach the core thread";
        return nullptr;
    }
    std::unique_ptr<Dashboard> d;
    try {
        d = std::make_unique<Dashboard>();
        d->config = config;
        d->http.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        d->http.set_socket_options([](socket_t s) { NetListenOptions(static_cast<NetSocket>(s)); });
        d->http.set_payload_max_length(kMaxBody);
        d->http.set_keep_alive_timeout(2);  // also bounds how long an idle connection delays the stop
        d->Routes();
        int port = config.port ? (d->http.bind_to_port("0.0.0.0", config.port) ? config.port : -1)
                               : d->http.bind_to_any_port("0.0.0.0");
        if (port <= 0) {
            error = "cannot listen on TCP port " + std::to_string(config.port);
            return nullptr;
        }
        d->port = static_cast<uint16_t>(port);
        Dashboard *raw = d.get();
        d->thread = std::thread([raw] {
            raw->http.listen_after_bind();
            raw->threadEnded = true;
        });
        // Stop works only once the accept loop runs: wait for it (or for its failure).
        while (!d->http.is_running() && !d->threadEnded) std::this_thread::sleep_for(1ms);
    } catch (const std::exception &e) {
        error = std::string("cannot start: ") + e.what();
        if (d && d->thread.joinable()) {
            d->http.stop();
            d->thread.join();
        }
        return nullptr;
    }
    return d.release();
}

uint16_t DashboardPort(const Dashboard &dashboard) { return dashboard.port; }

void DashboardPublish(Dashboard &d, const ClientTable &table, const StatusReport &report,
                      const ServerSettings &settings) {
    try {
        auto pub = std::make_shared<Published>();
        BuildSnapshot(table, report, settings, d.history, pub->snapshot);
        pub->snapshot.generation = ++d.generation;
        {
            std::lock_guard<std::mutex> lock(d.snapshotMutex);
            d.current = std::move(pub);
        }
        d.snapshotChanged.notify_all();
    } catch (const std::bad_alloc &) {
        // Out of memory: the page keeps the last snapshot; the next refresh tries again.
    }
}

void DashboardRunPending(Dashboard &d, ServerSettings &settings, const ServerHost &host) {
    std::deque<std::shared_ptr<PendingChange>> batch;
    {
        std::lock_guard<std::mutex> lock(d.pendingMutex);
        batch.swap(d.pending);
    }
    if (batch.empty()) return;
    std::vector<int> persisted;
    for (const auto &change : batch) persisted.push_back(ApplyOptionsChange(change->change, settings));
    // The new form shows everywhere before the page hears back.
    host.refresh(host.context);
    {
        std::lock_guard<std::mutex> lock(d.pendingMutex);
        for (size_t i = 0; i < batch.size(); ++i) {
            batch[i]->persisted = persisted[i];
            batch[i]->done = true;
        }
    }
    d.pendingDone.notify_all();
}

void DashboardStop(Dashboard *d) {
    if (!d) return;
    {
        std::lock_guard<std::mutex> lock(d->snapshotMutex);
        d->stopping = true;
    }
    d->snapshotChanged.notify_all();
    {
        std::lock_guard<std::mutex> lock(d->pendingMutex);
        d->pendingClosed = true;
    }
    d->pendingDone.notify_all();
    d->http.stop();
    if (d->thread.joinable()) d->thread.join();
    delete d;
}
