// The live web dashboard inside pellicksrv: an HTTP server on a thread of its own that shows snapshots the core thread publishes.
#pragma once

#include "client_table.h"
#include "history_json.h"
#include "report.h"
#include "run_tracker.h"
#include "settings.h"
#include "test_ports.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The Linux default port of the dashboard; Windows serves it only when the
// settings store names a port.
inline constexpr uint16_t kDashboardPort = 10432;
// Settings store value naming the port; 0 turns the dashboard off.
inline constexpr const char *kSettingHttpPort = "HttpPort";

struct DashboardConfig {
    uint16_t port = kDashboardPort;  // 0: any free port (tests)
    // The server's file calls take code page 1252 (Windows): a path typed on
    // the page is converted to it. Otherwise paths stay UTF-8.
    bool ansiPaths = false;
    // Asks the core thread to call DashboardRunPending soon. Called from the
    // HTTP thread; must be safe from any thread (an eventfd write, PostMessage).
    void (*wake)(void *context) = nullptr;
    void *wakeContext = nullptr;
    // HTTP connections open at once (a quarter of the descriptor limit on
    // POSIX; never more than the HTTP server's own cap), and the descriptor
    // number they must stay below (0: no rule).
    size_t maxConnections = 256;
    uint64_t descriptorCeiling = 0;
    // The run history /history.json reads (the history thread's published
    // copy, any thread); empty, or a null copy: not kept.
    HistorySource history;
};

struct Dashboard;

// The port to serve on: the test override when set (tests only; 0 means any
// free port), otherwise the settings store's HttpPort (defaultPort when
// missing). -1 when the dashboard is off: HttpPort 0, a bad value, or tests
// that moved the status port without naming a dashboard port, so a test
// server never takes the product's port.
int DashboardPortSetting(uint16_t defaultPort, const TestPorts &testPorts);

// Binds the port on every IPv4 address and starts serving. nullptr when the
// port cannot be bound or the thread cannot start; error then says why.
Dashboard *DashboardStart(const DashboardConfig &config, std::string &error);
// The port actually bound (the chosen one when config.port was 0).
uint16_t DashboardPort(const Dashboard &dashboard);
// The change token every POST must carry, kept in the settings store.
const std::string &DashboardToken(const Dashboard &dashboard);
// The address to open: http://localhost:<port>/?token=<token>.
std::string DashboardUrl(const Dashboard &dashboard);
// The cookie that carries the token once the page was opened with it.
std::string DashboardCookieName(uint16_t port);

// Core thread, after every refresh (before the table changes again): a new
// snapshot of report, built from table in the settings' form, for the HTTP threads.
// jobs: JobInfos of the report. runs: the run tracker's counts, for the metrics (nullptr: none).
void DashboardPublish(Dashboard &dashboard, const ClientTable &table, const StatusReport &report,
                      const std::vector<RunJobInfo> &jobs, const ServerSettings &settings,
                      const RunStats *runs = nullptr);
// Core thread, after a wake: applies the option changes the page sent to
// settings (as the options dialog would), then refreshes through host so the
// window or terminal and the page show the new form at once.
void DashboardRunPending(Dashboard &dashboard, ServerSettings &settings, const ServerHost &host);

// Stops serving, fails changes still waiting for the core, joins the HTTP
// thread and frees the dashboard. Accepts nullptr.
void DashboardStop(Dashboard *dashboard);
