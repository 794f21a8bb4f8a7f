// pellicksrv on Linux: listens for status messages and shows the render status in the terminal until stopped.
#include "batch_pacing.h"
#include "client_table.h"
#include "clock.h"
#include "dashboard.h"
#include "descriptor_limit.h"
#include "event_loop.h"
#include "notifier.h"
#include "refresh.h"
#include "report.h"
#include "run_history.h"
#include "settings.h"
#include "terminal_view.h"
#include "test_ports.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    bool print = false;
    std::string statsFile;
};

void Fail(const std::string &line) { std::fprintf(stderr, "pellicksrv: %s\n", line.c_str()); }

// Process-wide server state, touched by the one loop thread only.
struct Server {
    ClientTable table{};
    ServerHost host{};
    EventLoop loop;
    TerminalView view;
    bool viewOpen = false;
    ServerSettings settings;
    StatusReport report;  // what the latest refresh built
    std::vector<NetSocket> unwatched;  // accepted, but the loop could not watch them
    std::string statsFile;
    BatchPacing pacing;      // when the next end of a batch may run
    FileWriteStatus htmlStatus{Fail};  // what the HTML file's writes came to, said on standard error
    FileWriter htmlWriter{[this](const FileContent &file) { WriteReportFile(file, htmlStatus); }};  // off the loop thread
    FileWriter statsWriter{WriteWholeFile};  // the stats file, likewise
    uint64_t nextTimeCheck = 0;  // monotonic ns: the next CheckClientTimes
    Dashboard *web = nullptr;  // the live web dashboard, when it is on
    std::unique_ptr<RunHistory> runs;  // the run history, fed by every refresh
    Notifier *notifier = nullptr;  // posts the webhook's events, off the loop thread
    std::vector<NetSocket> newlyStalled;  // CPUs the last client check found stalled
    uint64_t clientDescriptors = 0;  // clients only get descriptors numbered below this
    uint64_t descriptorLimit = 0;
};

// Descriptors clients never take, so the HTML and stats files (and the
// dashboard) can still be written when connections use up the limit.
constexpr uint64_t kSpareDescriptors = 16;
// Of those, the last few are never given to the dashboard's connections
// either: the HTML, stats and settings files and their temporaries.
constexpr uint64_t kFileDescriptors = 4;

// Wait this long before taking connections again after an accept failed.
constexpr uint32_t kAcceptPauseMs = 100;

// What the refresh feeds besides the report.
RefreshTargets Targets(Server &srv) { return {&srv.htmlWriter, &srv.htmlStatus, srv.runs.get(), srv.web, srv.notifier}; }

// The refresh both programs run, then the terminal view.
void Refresh(void *context) {
    auto &srv = *static_cast<Server *>(context);
    if (!RefreshAndPublish(srv.table, srv.settings, srv.report, Targets(srv), srv.newlyStalled)) return;
    if (srv.viewOpen) TerminalViewShow(srv.view, srv.report.fields);
}

void CpuStalled(void *context, NetSocket s) {
    auto &srv = *static_cast<Server *>(context);
    try {
        srv.newlyStalled.push_back(s);
    } catch (const std::bad_alloc &) {
        // Out of memory: this stall goes unannounced.
    }
}

void Watch(void *context, NetSocket s) {
    auto &srv = *static_cast<Server *>(context);
    if (!EventLoopWatchClient(srv.loop, s)) srv.unwatched.push_back(s);
}

void WriteStats(Server &srv, const char *state) {
    if (srv.statsFile.empty()) return;
    std::string text = std::string("state=") + state + "\nconnections=" + std::to_string(srv.table.nextSeq) +
                       "\nclients=" + std::to_string(srv.table.count) +
                       "\nmessagesAccepted=" + std::to_string(srv.table.messagesAccepted) +
                       "\nmessagesRejected=" + std::to_string(srv.table.messagesRejected) +
                       "\nlongestTurnUs=" + std::to_string(srv.loop.longestTurnNs / 1000) + "\n";
    srv.statsWriter.Post({srv.statsFile, std::move(text)});
}

// Whether a new client would leave the spare descriptors alone: descriptors
// are handed out lowest first, so the number a duplicate gets is the one the
// next accept would.
bool DescriptorsLeft(const Server &srv) {
    int probe = fcntl(static_cast<int>(srv.loop.listener), F_DUPFD_CLOEXEC, 0);
    if (probe < 0) return false;
    close(probe);
    return static_cast<uint64_t>(probe) < srv.clientDescriptors;
}

void OnSocket(void *context, NetSocket s, SocketEvent event) {
    auto &srv = *static_cast<Server *>(context);
    uint64_t accepted = srv.table.nextSeq;
    if (event == SocketEvent::Accept && !DescriptorsLeft(srv)) {
        // Pending connections wait in the backlog until a client leaves.
        EventLoopPauseAccepts(srv.loop, kAcceptPauseMs);
        return;
    }
    ServerSocketEvent(srv.table, srv.host, s, event);
    if (event == SocketEvent::Accept && srv.table.nextSeq == accepted) EventLoopPauseAccepts(srv.loop, kAcceptPauseMs);
    // A connection nobody would ever hear from again is dropped at once.
    while (!srv.unwatched.empty()) {
        NetSocket dropped = srv.unwatched.back();
        srv.unwatched.pop_back();
        RemoveClient(srv.table, srv.host, dropped);
    }
    BatchEvents(srv.pacing);
}

// The dashboard's HTTP threads sent option changes.
void OnWake(void *context) {
    auto &srv = *static_cast<Server *>(context);
    if (srv.web) DashboardRunPending(*srv.web, srv.settings, srv.host);
}

// After a wake-up's events: the one prune and refresh they call for, and the
// stats. With thousands of CPUs one refresh takes milliseconds, so a refresh
// after every wake-up would keep the loop busy; the next one then waits as
// the pacing rule says, and the events in between join its batch.
int FinishBatch(Server &srv) {
    const uint64_t start = MonotonicNanos();
    const int64_t due = FinishDueInMs(srv.pacing, start);
    if (due != 0) return static_cast<int>(due);
    FinishSocketEvents(srv.table, srv.host);
    WriteStats(srv, "running");
    BatchFinished(srv.pacing, start, MonotonicNanos());
    return -1;
}

// Silence is looked for once a second, whether events come or not.
constexpr uint64_t kTimeCheckPeriodNs = 1000000000;

// The once-a-second client check (closes and stalls become a batch's refresh),
// then the batch's end. Returns the loop's wait until either is due.
int OnBatchDone(void *context) {
    auto &srv = *static_cast<Server *>(context);
    uint64_t now = MonotonicNanos();
    if (now >= srv.nextTimeCheck) {
        CheckClientTimes(srv.table, srv.host, static_cast<uint32_t>(srv.settings.stallSeconds));
        if (srv.table.refreshNeeded) BatchEvents(srv.pacing);
        if (HtmlFileNeedsRefresh(srv.settings, srv.report, Targets(srv))) Refresh(&srv);
        srv.nextTimeCheck = now + kTimeCheckPeriodNs;
    }
    const int finishMs = FinishBatch(srv);
    now = MonotonicNanos();
    const int checkMs = now < srv.nextTimeCheck ? static_cast<int>(NanosToMsRoundedUp(srv.nextTimeCheck - now)) : 0;
    return finishMs < 0 ? checkMs : std::min(finishMs, checkMs);
}

// Called by the dashboard's HTTP threads.
void WakeLoop(void *context) { EventLoopWake(*static_cast<const EventLoop *>(context)); }

// The dashboard on its port (settings file HttpPort, 10432 when missing, 0
// turns it off); a dashboard that cannot start leaves the status server
// running. Needs the open event loop, which carries its wake-ups.
void StartDashboard(Server &srv, const TestPorts &testPorts) {
    const int port = DashboardPortSetting(kDashboardPort, testPorts);
    if (port < 0) return;
    DashboardConfig config;
    config.port = static_cast<uint16_t>(port);
    config.wake = WakeLoop;
    config.wakeContext = &srv.loop;
    // HTTP gets at most a quarter of the descriptors, and never those the files need.
    config.maxConnections = static_cast<size_t>(std::max<uint64_t>(srv.descriptorLimit / 4, 1));
    config.descriptorCeiling = srv.descriptorLimit - kFileDescriptors;
    config.history = srv.runs ? srv.runs->Store() : nullptr;
    std::string error;
    srv.web = DashboardStart(config, error);
    if (!srv.web) {
        Fail("dashboard off: " + error);
        return;
    }
    std::fprintf(stderr, "pellicksrv: dashboard at %s\n", DashboardUrl(*srv.web).c_str());
}

void StopDashboard(Server &srv) {
    DashboardStop(srv.web);
    srv.web = nullptr;
}

// Start-up, loop and shutdown, in the order of the Windows program. Returns the exit code.
int RunServer(const Options &options, uint64_t descriptorLimit) {
    Server srv;
    srv.clientDescriptors = descriptorLimit > kSpareDescriptors ? descriptorLimit - kSpareDescriptors : 0;
    srv.descriptorLimit = std::max(descriptorLimit, kSpareDescriptors);
    srv.host = {&srv, Watch, Refresh, CpuStalled};
    srv.statsFile = options.statsFile;
    int status = 1;
    NetSocket listener = kNoNetSocket;

    const bool netStarted = MessageLength(kFieldTable) == kMessageLength && NetStartup() == 1;
    TestPorts testPorts;
    std::string portError;
    const bool portsRead = ReadTestPorts(testPorts, portError);
    const uint16_t port = testPorts.status.value_or(STATUS_PORT);
    if (!netStarted) {
        Fail("cannot start the network layer");
    } else if (!portsRead) {
        Fail(portError);
    } else {
        errno = 0;
        listener = NetListen(port, SOMAXCONN, false);
        if (listener == kNoNetSocket) {
            int error = errno;
            Fail("cannot listen on TCP port " + std::to_string(port) + ": " +
                 (error == EADDRINUSE ? std::string("the port is already in use")
                                      : std::string(error ? std::strerror(error) : "unknown error")));
        }
    }
    if (listener != kNoNetSocket) {
        srv.settings = LoadSettings();
        srv.notifier = NotifierStart(ServerNotifierConfig(testPorts.webhookMs.value_or(0)));
        srv.table.peer = PeerTimeoutsFor(testPorts.peerSeconds.value_or(0));
        TerminalViewOpen(srv.view, options.print);
        srv.viewOpen = true;
        if (!EventLoopOpen(srv.loop)) {
            Fail(std::string("cannot create the event loop: ") + std::strerror(errno));
        } else {
            srv.runs = std::make_unique<RunHistory>(RunHistoryConfig{HistoryPath(testPorts), [n = srv.notifier](std::string_view entry) { NotifierPost(n, "job.finished", entry); }, Fail});
            StartDashboard(srv, testPorts);
            Refresh(&srv);
            WriteStats(srv, "running");
            if (!EventLoopWatchListener(srv.loop, listener)) {
                Fail(std::string("cannot watch the listening socket: ") + std::strerror(errno));
            } else if (EventLoopRun(srv.loop, {&srv, OnSocket, OnBatchDone, OnWake})) {
                status = 0;
            } else {
                Fail(std::string("waiting for events failed: ") + std::strerror(errno));
            }
        }
    }

    // Shutdown, also after a failed start. The runs stay open: a stop is not their CPUs leaving.
    if (srv.runs) srv.runs->Stop();
    ReleaseClients(srv.table);
    Refresh(&srv);  // no clients: the window fields empty, "No render in progress" in the HTML file
    StopDashboard(srv);
    srv.runs.reset();
    // Events still waiting get a moment; a hook that hangs never holds the stop for long.
    NotifierStop(srv.notifier, kNotifierStopDrainMs);
    srv.notifier = nullptr;
    if (srv.viewOpen) TerminalViewClose(srv.view);
    srv.viewOpen = false;
    EventLoopClose(srv.loop);
    if (listener != kNoNetSocket) NetClose(listener);
    if (netStarted) NetCleanup();
    WriteStats(srv, "stopped");
    // The last HTML file and stats are on disk before the program ends.
    srv.htmlWriter.Close(-1);
    srv.statsWriter.Close(-1);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    BlockStopSignals();
    const uint64_t descriptorLimit = RaiseDescriptorLimit();

    CLI::App app{"pellicksrv: the render status server. Listens on TCP port " + std::to_string(STATUS_PORT) + " and shows the\n"
                 "status in the terminal; ends on Ctrl+C (SIGINT), SIGTERM or SIGHUP. It serves the live web\n"
                 "dashboard on TCP port " + std::to_string(kDashboardPort) + " (HttpPort in the settings file; 0 turns it off)."};
    Options options;
    app.add_flag("--print", options.print,
                 "Print the status after every change even when standard output is not a terminal");
    app.add_option("--stats-file", options.statsFile,
                   "Keep connection and message counters in this file, rewritten after every batch of events and at exit");
    app.set_version_flag("--version", "pellicksrv " PELLICK_VERSION);
    CLI11_PARSE(app, argc, argv);

    return RunServer(options, descriptorLimit);
}
