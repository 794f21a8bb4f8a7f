// The dashboard's routes (what each endpoint answers), the change token, the hand-over of option changes, and snapshot publication.
#include "dashboard.h"
#include "doc_queries.h"

#include "clock.h"
#include "cpu_page.h"
#include "files.h"
#include "history_json.h"
#include "http_query.h"
#include "http_server.h"
#include "options.h"
#include "settings.h"
#include "settings_store.h"
#include "snapshot.h"
#include "status_json.h"
#include "token.h"
#include "web_assets.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Events are sent no more often than this, however fast messages arrive.
constexpr auto kEventInterval = 250ms;
// A comment line this often lets a stream notice a client that went away.
constexpr auto kEventKeepAlive = 15s;
// How long a change waits for the core thread.
constexpr auto kChangeTimeout = 5s;

const char *const kPageSecurity =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A snapshot, its JSON, its summary and its live event, each made once, on first demand, on the HTTP thread.
struct Published : HttpEvent {
    WebSnapshot snapshot;
    std::optional<RunStats> runs;  // the run tracker's counts at the snapshot
    mutable std::once_flag jsonOnce, summaryOnce, eventOnce;
    mutable std::shared_ptr<const std::string> json, summary;
    mutable std::string event;

    const std::shared_ptr<const std::string> &Json() const {
        std::call_once(jsonOnce, [this] { json = std::make_shared<const std::string>(StatusJson(snapshot)); });
        return json;
    }
    const std::shared_ptr<const std::string> &Summary() const {
        std::call_once(summaryOnce,
                       [this] { summary = std::make_shared<const std::string>(SummaryJson(snapshot)); });
        return summary;
    }
    // The live event carries the summary: its size is bounded by the jobs, not the CPUs.
    const std::string &Bytes() const override {
        std::call_once(eventOnce, [this] {
            const std::string &data = *Summary();
            event.reserve(data.size() + 48);
            event = "id: " + std::to_string(snapshot.generation) + "\nevent: status\ndata: ";
            event += data;
            event += "\n\n";
        });
        return event;
    }
};

struct PendingChange {
    OptionsChange change;
    HttpReply reply;
};

// Every answer of the dashboard carries these.
HttpResponse Answer(int status, std::string type, std::string body) {
    HttpResponse res;
    res.status = status;
    res.contentType = std::move(type);
    res.body = std::move(body);
    res.headers = {{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}};
    return res;
}

HttpResponse JsonError(int status, const std::string &message) {
    return Answer(status, "application/json", ErrorJson(message));
}

// The page with the facts it holds that are the server's own (the stall time's range) filled in from
// the constants, once: index.html names them as @NAME@.
std::string PageText(const WebAsset &page) {
    static const std::string text = [&] {
        std::string t(reinterpret_cast<const char *>(page.data), page.size);
        const std::pair<std::string_view, int32_t> facts[] = {{"@MIN_STALL_SECONDS@", kMinStallSeconds},
                                                              {"@MAX_STALL_SECONDS@", kMaxStallSeconds}};
        for (const auto &[name, value] : facts) {
            for (size_t at; (at = t.find(name)) != std::string::npos;) t.replace(at, name.size(), std::to_string(value));
        }
        return t;
    }();
    return text;
}

// What the routes read: the newest snapshot and the token.
struct RouteView {
    std::shared_ptr<const Published> current;
    const std::string &token;
    const std::string &cookieName;
    const HistorySource &history;
};

HttpResponse NoReportYet() { return JsonError(503, "the server has not made its first report yet"); }

HttpResponse ServeStatusJson(const RouteView &view, const HttpRequest &) {
    if (!view.current) return NoReportYet();
    HttpResponse res = Answer(200, "application/json", std::string());
    res.sharedBody = view.current->Json();
    return res;
}

HttpResponse ServeSummaryJson(const RouteView &view, const HttpRequest &) {
    if (!view.current) return NoReportYet();
    HttpResponse res = Answer(200, "application/json", std::string());
    res.sharedBody = view.current->Summary();
    return res;
}

HttpResponse ServeCpusJson(const RouteView &view, const HttpRequest &req) {
    CpuQuery query;
    std::string error;
    if (!ParseCpuQuery(req.query, query, error)) return JsonError(400, error);
    if (!view.current) return NoReportYet();
    return Answer(200, "application/json", CpuPageJson(view.current->snapshot, query));
}

HttpResponse ServeFragment(const RouteView &view, const HttpRequest &) {
    if (!view.current) return NoReportYet();
    HttpResponse res = Answer(200, "text/html", std::string());
    res.sharedBody = std::shared_ptr<const std::string>(view.current, &view.current->snapshot.fragment);
    return res;
}

HttpResponse ServeMetrics(const RouteView &view, const HttpRequest &) {
    if (!view.current) return NoReportYet();
    std::string text = MetricsText(view.current->snapshot);
    if (view.current->runs) text += HistoryMetricsText(*view.current->runs);
    return Answer(200, "text/plain; version=0.0.4; charset=utf-8", std::move(text));
}

HttpResponse ServeEvents(const RouteView &view, const HttpRequest &req) {
    if (!view.current) return NoReportYet();
    if (req.openStreams >= kHttpMaxStreams) {
        HttpResponse res = JsonError(503, "too many live streams; poll /status.json");
        res.headers.emplace_back("Retry-After", "10");
        return res;
    }
    HttpResponse res = Answer(200, "text/event-stream", "retry: 2000\n\n");  // reconnect after 2 s when cut
    res.headers[1].second = "no-cache";
    res.eventStream = true;
    return res;
}

HttpResponse ServeHistoryJson(const RouteView &view, const HttpRequest &req) {
    uint32_t limit = 0;
    std::string error;
    if (!ParseHistoryQuery(req.query, limit, error)) return JsonError(400, error);
    std::shared_ptr<const HistoryView> runs = view.history ? view.history() : nullptr;
    if (!runs) return JsonError(503, "this server keeps no run history");
    // The history thread's published copy: SQLite is never touched here.
    return Answer(200, "application/json", HistoryJson(*runs, limit));
}

// The data routes besides the page's files: path and what answers a GET of it.
struct ReadRoute {
    std::string_view path;
    HttpResponse (*serve)(const RouteView &view, const HttpRequest &req);
};
constexpr ReadRoute kReadRoutes[] = {
    {"/status.json", ServeStatusJson}, {"/summary.json", ServeSummaryJson}, {"/cpus.json", ServeCpusJson},
    {"/fragment.html", ServeFragment}, {"/metrics", ServeMetrics},         {"/events", ServeEvents},
    {"/history.json", ServeHistoryJson},
};

// The GET routes; every answer is made at once.
HttpResponse ServeRead(const RouteView &view, const HttpRequest &req) {
    for (const WebAsset &asset : kWebAssets) {
        if (req.path != asset.path) continue;
        if (req.method != "GET") return JsonError(405, "only GET is served here");
        std::string offered;
        if (std::strcmp(asset.path, "/") == 0 && QueryValue(req.query, "token", offered)) {
            // Opened with the token: keep it as a cookie and take it out of the address bar.
            HttpResponse res = Answer(303, "text/plain", "See /\n");
            res.headers.emplace_back("Location", "/");
            if (SameToken(view.token, offered)) {
                res.headers.emplace_back("Set-Cookie",
                                         view.cookieName + "=" + view.token + "; HttpOnly; SameSite=Strict; Path=/");
            }
            return res;
        }
        HttpResponse res = Answer(200, asset.contentType,
                                  std::strcmp(asset.path, "/") == 0
                                      ? PageText(asset)
                                      : std::string(reinterpret_cast<const char *>(asset.data), asset.size));
        res.headers.emplace_back("Content-Security-Policy", kPageSecurity);
        res.headers.emplace_back("X-Frame-Options", "DENY");
        return res;
    }
    for (const ReadRoute &route : kReadRoutes) {
        if (req.path != route.path) continue;
        if (req.method != "GET") return JsonError(405, "only GET is served here");
        return route.serve(view, req);
    }
    return JsonError(404, "no such page");
}

// The checks of a change, in order; an answer when it is refused.
std::optional<HttpResponse> RefuseChange(const RouteView &view, const HttpRequest &req) {
    // The address check comes first: nothing from elsewhere is even parsed.
    if (!ChangeAllowed(req.remoteAddress, req.Header("Host"), req.Header("Origin"))) {
        return JsonError(403, "options can be changed only on the server's own machine (http://localhost)");
    }
    if (!SameToken(view.token, RequestToken(req.Header("Authorization"), req.Header("Cookie"), view.cookieName))) {
        return JsonError(403, "this change needs the dashboard's token: open the address pellicksrv printed "
                              "(with ?token=), or send Authorization: Bearer <token>");
    }
    // A JSON type cannot be sent by a plain form of another site without the browser asking first.
    if (!IsMediaType(req.Header("Content-Type"), "application/json")) {
        return JsonError(415, "send the options as application/json");
    }
    return std::nullopt;
}

}  // namespace

struct Dashboard {
    DashboardConfig config;
    HttpServer *http = nullptr;
    uint16_t port = 0;
    std::string token, cookieName;

    // Publication: the core thread swaps in a new snapshot; the HTTP thread copies the pointer.
    std::mutex snapshotMutex;
    std::shared_ptr<const Published> current;

    // Core thread only.
    uint64_t generation = 0;
    JobHistory history;

    // Changes waiting for the core thread.
    std::mutex pendingMutex;
    std::deque<std::unique_ptr<PendingChange>> pending;
    bool pendingClosed = false;

    std::shared_ptr<const Published> Current() {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        return current;
    }

    RouteView View() { return RouteView{Current(), token, cookieName, config.history}; }
    void Handle(const HttpRequest &req, HttpReply reply);
    // A change's refusal on its head alone; none for every other path.
    std::optional<HttpResponse> Screen(const HttpRequest &req);
};

std::optional<HttpResponse> Dashboard::Screen(const HttpRequest &req) {
    if (req.path != "/options") return std::nullopt;
    if (req.method != "POST") return JsonError(405, "send changes with POST");
    return RefuseChange(View(), req);
}

void Dashboard::Handle(const HttpRequest &req, HttpReply reply) {
    if (req.path != "/options") {
        reply(ServeRead(View(), req));
        return;
    }
    if (std::optional<HttpResponse> refused = Screen(req)) {
        reply(std::move(*refused));
        return;
    }
    auto change = std::make_unique<PendingChange>(PendingChange{OptionsChange(), reply});
    std::string error;
    if (!ParseOptionsChange(req.body, config.ansiPaths, change->change, error)) {
        reply(JsonError(400, error));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        if (pendingClosed) {
            reply(JsonError(503, "the server is stopping"));
            return;
        }
        pending.push_back(std::move(change));
    }
    config.wake(config.wakeContext);
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
    auto d = std::make_unique<Dashboard>();
    d->config = config;
    bool stored = false;
    d->token = LoadOrMakeToken(stored);
    if (d->token.empty()) {
        error = "no random source for the change token";
        return nullptr;
    }
    HttpServerConfig http;
    http.port = config.port;
    http.maxConnections = config.maxConnections;
    http.descriptorCeiling = config.descriptorCeiling;
    http.eventInterval = kEventInterval;
    http.keepAliveInterval = kEventKeepAlive;
    http.replyTimeout = kChangeTimeout;
    http.lateReply = JsonError(503, "the server did not take the change in time");
    Dashboard *raw = d.get();
    http.handler = [raw](const HttpRequest &req, HttpReply reply) { raw->Handle(req, std::move(reply)); };
    http.screen = [raw](const HttpRequest &req) { return raw->Screen(req); };
    d->http = HttpServerStart(std::move(http), error);
    if (!d->http) return nullptr;
    d->port = HttpServerPort(*d->http);
    d->cookieName = DashboardCookieName(d->port);
    return d.release();
}

uint16_t DashboardPort(const Dashboard &dashboard) { return dashboard.port; }

const std::string &DashboardToken(const Dashboard &dashboard) { return dashboard.token; }

std::string DashboardUrl(const Dashboard &dashboard) {
    return "http://localhost:" + std::to_string(dashboard.port) + "/?token=" + dashboard.token;
}

// Cookies are kept per host, not per port: each port's server has its own name.
std::string DashboardCookieName(uint16_t port) { return "pellick-token-" + std::to_string(port); }

void DashboardPublish(Dashboard &d, const ClientTable &table, const StatusReport &report,
                      const std::vector<RunJobInfo> &jobs, const ServerSettings &settings, const RunStats *runs) {
    try {
        auto pub = std::make_shared<Published>();
        if (runs) pub->runs = *runs;
        BuildSnapshot(table, report, jobs, settings, d.history, pub->snapshot);
        pub->snapshot.generation = ++d.generation;
        {
            std::lock_guard<std::mutex> lock(d.snapshotMutex);
            d.current = pub;
        }
        HttpServerPublish(*d.http, std::move(pub));
    } catch (const std::bad_alloc &) {
        // Out of memory: the page keeps the last snapshot; the next refresh tries again.
    }
}

void DashboardRunPending(Dashboard &d, ServerSettings &settings, const ServerHost &host) {
    std::deque<std::unique_ptr<PendingChange>> batch;
    {
        std::lock_guard<std::mutex> lock(d.pendingMutex);
        batch.swap(d.pending);
    }
    if (batch.empty()) return;
    std::vector<int> persisted;
    for (const auto &change : batch) persisted.push_back(ApplyOptionsChange(change->change, settings));
    // The new form shows everywhere before the page hears back.
    host.refresh(host.context);
    // The snapshot made right after the change holds the settings as the page will show them.
    const std::shared_ptr<const Published> pub = d.Current();
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i]->reply(Answer(200, "application/json",
                               ChangeResultJson(persisted[i] != 0, pub ? &pub->snapshot.settings : nullptr)));
    }
}

void DashboardStop(Dashboard *d) {
    if (!d) return;
    std::deque<std::unique_ptr<PendingChange>> waiting;
    {
        std::lock_guard<std::mutex> lock(d->pendingMutex);
        d->pendingClosed = true;
        waiting.swap(d->pending);
    }
    for (const auto &change : waiting) change->reply(JsonError(503, "the server is stopping"));
    HttpServerStop(d->http);
    delete d;
}
