// pellicksrv on Linux: listens for status messages and shows the render status in the terminal until stopped.
#include "clock.h"
#include "descriptor_limit.h"
#include "event_loop.h"
#include "server_app.h"
#include "terminal_view.h"
#include "test_ports.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    bool print = false;
    std::string statsFile;
};

void Fail(const std::string &line) { std::fprintf(stderr, "pellicksrv: %s\n", line.c_str()); }

// What only the Linux program has, beside the program both systems run;
// touched by the one loop thread only.
struct Server {
    EventLoop loop;
    TerminalView view;
    bool viewOpen = false;
    std::unique_ptr<ServerApp> app;
    std::vector<NetSocket> unwatched;  // accepted, but the loop could not watch them
    std::string statsFile;
    FileWriter statsWriter{WriteWholeFile};  // the stats file, off the loop thread
    uint64_t nextTimeCheck = 0;  // monotonic ns: the next once-a-second check
    uint64_t clientDescriptors = 0;  // clients only get descriptors numbered below this
};

// Descriptors clients never take, so the HTML and stats files (and the
// dashboard) can still be written when connections use up the limit.
constexpr uint64_t kSpareDescriptors = 16;
// Of those, the last few are never given to the dashboard's connections
// either: the HTML, stats and settings files and their temporaries.
constexpr uint64_t kFileDescriptors = 4;

// Wait this long before taking connections again after an accept failed.
constexpr uint32_t kAcceptPauseMs = 100;

void Watch(void *context, NetSocket s) {
    auto &srv = *static_cast<Server *>(context);
    if (!EventLoopWatchClient(srv.loop, s)) srv.unwatched.push_back(s);
}

void WriteStats(Server &srv, const char *state) {
    if (srv.statsFile.empty() || !srv.app) return;
    const ClientTable &table = srv.app->Table();
    std::string text = std::string("state=") + state + "\nconnections=" + std::to_string(table.nextSeq) +
                       "\nclients=" + std::to_string(table.count) +
                       "\nmessagesAccepted=" + std::to_string(table.messagesAccepted) +
                       "\nmessagesRejected=" + std::to_string(table.messagesRejected) +
                       "\nrefusedPerAddress=" + std::to_string(table.refused.perAddress) +
                       "\nrefusedNetwork=" + std::to_string(table.refused.network) +
                       "\nrefusedDescriptors=" + std::to_string(table.refused.descriptors) +
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

// One connection from the backlog. When descriptors are short, a silent
// connection makes room (the core picks it); when every client has reported,
// pending connections wait in the backlog until one leaves.
void Accept(Server &srv, NetSocket listener) {
    ServerApp &app = *srv.app;
    if (!DescriptorsLeft(srv) && !(app.MakeRoom() && DescriptorsLeft(srv))) {
        EventLoopPauseAccepts(srv.loop, kAcceptPauseMs);
        return;
    }
    const AcceptOutcome outcome = app.Accept(listener);
    // A connection refused by the rules was taken from the backlog: the next may be taken at once.
    if (outcome != AcceptOutcome::Accepted && outcome != AcceptOutcome::Refused) {
        EventLoopPauseAccepts(srv.loop, kAcceptPauseMs);
    }
}

void OnSocket(void *context, NetSocket s, SocketEvent event) {
    auto &srv = *static_cast<Server *>(context);
    ServerApp &app = *srv.app;
    if (event == SocketEvent::Accept) {
        Accept(srv, s);
    } else {
        app.OnSocket(s, event);
    }
    // A connection nobody would ever hear from again is dropped at once.
    while (!srv.unwatched.empty()) {
        NetSocket dropped = srv.unwatched.back();
        srv.unwatched.pop_back();
        RemoveClient(app.Table(), app.Host(), dropped);
    }
}

// The dashboard's HTTP threads sent option changes.
void OnWake(void *context) { static_cast<Server *>(context)->app->RunDashboardPending(); }

// After a wake-up's events: the one prune and refresh they call for, and the
// stats. With thousands of CPUs one refresh takes milliseconds, so a refresh
// after every wake-up would keep the loop busy; the next one then waits as
// the pacing rule says, and the events in between join its batch.
int FinishBatch(Server &srv) {
    const int64_t due = srv.app->BatchDueInMs(MonotonicNanos());
    if (due != 0) return static_cast<int>(due);
    srv.app->EndBatch();
    WriteStats(srv, "running");
    return -1;
}

// Silence is looked for once a second, whether events come or not.
constexpr uint64_t kTimeCheckPeriodNs = 1000000000;

// The once-a-second check, then the batch's end. Returns the loop's wait until either is due.
int OnBatchDone(void *context) {
    auto &srv = *static_cast<Server *>(context);
    uint64_t now = MonotonicNanos();
    if (now >= srv.nextTimeCheck) {
        srv.app->CheckTimes();
        srv.nextTimeCheck = now + kTimeCheckPeriodNs;
    }
    const int finishMs = FinishBatch(srv);
    now = MonotonicNanos();
    const int checkMs = now < srv.nextTimeCheck ? static_cast<int>(NanosToMsRoundedUp(srv.nextTimeCheck - now)) : 0;
    return finishMs < 0 ? checkMs : std::min(finishMs, checkMs);
}

// Called by the dashboard's HTTP threads.
void WakeLoop(void *context) { EventLoopWake(*static_cast<const EventLoop *>(context)); }

// The program both systems run, with the terminal as its view and the event
// loop carrying the dashboard's wake-ups. The dashboard (settings file
// HttpPort, 10432 when missing, 0 turns it off) gets at most a quarter of the
// descriptors, and never those the files need.
ServerAppConfig AppConfig(Server &srv, const TestPorts &testPorts, uint64_t descriptorLimit) {
    ServerAppConfig config;
    config.testPorts = testPorts;
    config.say = Fail;
    config.show = [&srv](const StatusFields &fields) {
        if (srv.viewOpen) TerminalViewShow(srv.view, fields);
    };
    config.watchClient = Watch;
    config.watchContext = &srv;
    config.dashboardPort = kDashboardPort;
    config.dashboard.wake = WakeLoop;
    config.dashboard.wakeContext = &srv.loop;
    config.dashboard.maxConnections = static_cast<size_t>(std::max<uint64_t>(descriptorLimit / 4, 1));
    config.dashboard.descriptorCeiling = descriptorLimit - kFileDescriptors;
    return config;
}

// Start-up, loop and shutdown. Returns the exit code.
int RunServer(const Options &options, uint64_t descriptorLimit) {
    Server srv;
    srv.clientDescriptors = descriptorLimit > kSpareDescriptors ? descriptorLimit - kSpareDescriptors : 0;
    descriptorLimit = std::max(descriptorLimit, kSpareDescriptors);
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
        srv.app = std::make_unique<ServerApp>(AppConfig(srv, testPorts, descriptorLimit));
        TerminalViewOpen(srv.view, options.print);
        srv.viewOpen = true;
        if (!EventLoopOpen(srv.loop)) {
            Fail(std::string("cannot create the event loop: ") + std::strerror(errno));
        } else {
            srv.app->Start();
            if (Dashboard *web = srv.app->Web()) std::fprintf(stderr, "pellicksrv: dashboard at %s\n", DashboardUrl(*web).c_str());
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

    // Shutdown, also after a failed start: the program's parts in their order, then this system's.
    if (srv.app) srv.app->Stop();
    if (srv.viewOpen) TerminalViewClose(srv.view);
    srv.viewOpen = false;
    EventLoopClose(srv.loop);
    if (listener != kNoNetSocket) NetClose(listener);
    if (netStarted) NetCleanup();
    WriteStats(srv, "stopped");
    srv.statsWriter.Close(-1);  // the last stats are on disk before the program ends
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
