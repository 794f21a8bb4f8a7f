// The status server both front ends run: its parts, their start and stop order, the refresh and the once-a-second check, in one object.
#pragma once

#include "batch_pacing.h"
#include "client_table.h"
#include "dashboard.h"
#include "file_writer.h"
#include "notifier.h"
#include "report.h"
#include "run_history.h"
#include "settings.h"
#include "test_ports.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What a front end hands the program: its platform's side.
struct ServerAppConfig {
    TestPorts testPorts;
    // One line for the operator (standard error).
    void (*say)(const std::string &line) = nullptr;
    // Shows the nine fields after every refresh (the window or the terminal); may be empty.
    std::function<void(const StatusFields &fields)> show;
    // Asks for read and close notifications on an accepted connection.
    void (*watchClient)(void *context, NetSocket s) = nullptr;
    void *watchContext = nullptr;
    // The dashboard's port when the settings store names none (0: off unless named).
    uint16_t dashboardPort = 0;
    // The dashboard's platform side: its wake-up, path form and connection limits
    // (its port and history are the program's).
    DashboardConfig dashboard;
};

// Right after the refresh that built report: posts cpu.stalled to the
// settings' webhook for each CPU of newlyStalled (sockets CheckClientTimes
// named) that the report shows stalled, and empties newlyStalled. jobs:
// JobInfos of the report.
void PostStalledCpus(Notifier *notifier, const ServerSettings &settings, const StatusReport &report,
                     const std::vector<RunJobInfo> &jobs, std::vector<NetSocket> &newlyStalled);

// One server's state, touched by its core thread only (the event loop or the
// window's message loop), which calls these in turn.
class ServerApp {
public:
    explicit ServerApp(ServerAppConfig config);
    ~ServerApp();
    ServerApp(const ServerApp &) = delete;
    ServerApp &operator=(const ServerApp &) = delete;

    // Once the status port listens and the core thread can be woken: the
    // settings, the webhook's notifier, the peer time-outs, the run history,
    // the dashboard (a dashboard that cannot start is said and left off), then
    // the first refresh.
    void Start();
    // A socket is ready: the core takes the event, and an end of batch is owed.
    void OnSocket(NetSocket s, SocketEvent event);
    // One connection from the listener's backlog, as the status port's rules
    // (MaxCpusPerAddress, StatusNetworks) allow; an end of batch is owed.
    AcceptOutcome Accept(NetSocket listener);
    // Descriptors are short: the oldest silent connection makes room. 1 when one went.
    int MakeRoom();
    // Milliseconds until the owed end of batch is due (0: now), -1 when none is owed.
    int64_t BatchDueInMs(uint64_t nowNs) const { return FinishDueInMs(pacing_, nowNs); }
    // The end of a batch: the one prune and refresh it calls for.
    void EndBatch();
    // The once-a-second check: silent and stalled clients (an end of batch is
    // then owed), and a failed HTML file tried again.
    void CheckTimes();
    // The refresh: the report and the HTML file, the run history (with the
    // clients that left since the last one), the dashboard's snapshot, the
    // stalled CPUs' events, then the front end's view.
    void Refresh();
    // The dashboard woke the core thread: applies the option changes it holds.
    void RunDashboardPending();
    // The options dialog changed the settings: shown and posted to at once.
    void SettingsChanged();
    // In the stop order of both systems: the runs stay open (a stop is not
    // their CPUs leaving), the clients go, the HTML file says "No render in
    // progress" and is written, then the dashboard, the history and the
    // notifier stop (a hook that hangs holds the stop for a moment only).
    // The front end closes its own parts after it. Safe to call twice.
    void Stop();

    ClientTable &Table() { return table_; }
    const ServerHost &Host() const { return host_; }
    ServerSettings &Settings() { return settings_; }
    const StatusReport &Report() const { return report_; }
    Dashboard *Web() const { return web_; }

private:
    static void WatchHost(void *context, NetSocket s);
    static void RefreshHost(void *context);
    static void CpuStalledHost(void *context, NetSocket s);

    ServerAppConfig config_;
    ClientTable table_{};
    ServerHost host_{};
    ServerSettings settings_;
    StatusReport report_;  // what the latest refresh built
    BatchPacing pacing_;
    FileWriteStatus htmlStatus_;
    std::unique_ptr<FileWriter> htmlWriter_;  // the HTML file, off the core thread
    Notifier *notifier_ = nullptr;            // posts the webhook's events, off the core thread
    std::unique_ptr<RunHistory> runs_;        // the run history, fed by every refresh
    Dashboard *web_ = nullptr;                // the live web dashboard, when it is on
    std::vector<NetSocket> newlyStalled_;     // CPUs the last client check found stalled
    bool started_ = false, stopped_ = false;
};
