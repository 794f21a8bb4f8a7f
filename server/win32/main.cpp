// pellicksrv for Windows: start-up, the "Render Status" window and its message loop, and the shutdown sequence.
#include "batch_pacing.h"
#include "client_table.h"
#include "clock.h"
#include "dashboard.h"
#include "net.h"
#include "notifier.h"
#include "options_dialog.h"
#include "refresh.h"
#include "report.h"
#include "resources/resource.h"
#include "run_history.h"
#include "settings.h"
#include "status_record.h"
#include "test_ports.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Every socket notification arrives as this message: word parameter the
// socket, low 16 bits of the long parameter the event code.
constexpr UINT WM_STATUS_SOCKET = WM_USER + 1;
// Posted once the pacing rule lets a batch end: it arrives once the
// notifications queued before it are handled and ends the batch with one
// prune and one refresh. From the application range: the dialog class owns
// WM_USER to WM_USER + 2.
constexpr UINT WM_STATUS_BATCH_END = WM_APP + 1;
// The timer that ends a batch the pacing rule held back, should no further
// notification come first (handled by its own timer procedure).
constexpr UINT_PTR kBatchTimerId = 0x5041;
// Posted by the web dashboard's HTTP threads when the page sent option changes.
constexpr UINT WM_DASHBOARD_WAKE = WM_APP + 2;
// The window's timer that looks for silent clients once a second.
constexpr UINT_PTR kClientTimesTimer = 0x5C13;
constexpr UINT kClientTimesPeriodMs = 1000;
// Connections taken for one accept notice; the rest wait for the next notice.
constexpr int kAcceptsPerNotice = 64;
// The timer that asks for accept notices again after an accept found no
// sockets to be had and no silent connection to close for one.
constexpr UINT_PTR kAcceptPauseTimer = 0x5AC7;
constexpr UINT kAcceptPauseMs = 100;

// Process-wide state; touched by the window thread only.
struct ServerState {
    int running = 1;
    HINSTANCE instance = nullptr;
    uint32_t messageLength = 0;
    NetSocket listener = kNoNetSocket;
    int netStarted = 0;
    HWND window = nullptr;
    ClientTable table{};
    bool batchEndPosted = false;
    bool batchTimerSet = false;
    BatchPacing pacing;  // when the next end of a batch may run
    std::unique_ptr<FileWriter> htmlWriter;  // the HTML file, off the window thread
    Dashboard *web = nullptr;  // the web dashboard, when HttpPort names a port
    std::unique_ptr<RunHistory> runs;  // the run history, fed by every refresh
    TestPorts testPorts;       // test-only port overrides
    ServerSettings settings;
    StatusReport report;  // what the latest refresh built
    Notifier *notifier = nullptr;  // posts the webhook's events, off the window thread
    std::vector<NetSocket> newlyStalled;  // CPUs the last client check found stalled
};
ServerState g_server;

// The refresh both programs run, then the nine value fields of the window when there is one.
void ShowStatus() {
    const RefreshTargets targets{g_server.htmlWriter.get(), g_server.runs.get(), g_server.web, g_server.notifier};
    if (!RefreshAndPublish(g_server.table, g_server.settings, g_server.report, targets, g_server.newlyStalled)) return;
    if (!g_server.window) return;
    StatusFields &fields = g_server.report.fields;
    for (int i = 0; i < kFieldCount; ++i) {
        fields.text[i][sizeof fields.text[i] - 1] = '\0';
        SetDlgItemTextA(g_server.window, kFieldFirstId + i, fields.text[i]);
    }
}

// The one translation of the window's socket notification codes.
SocketEvent EventOf(LPARAM lParam) {
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ: return SocketEvent::Read;
    case FD_ACCEPT: return SocketEvent::Accept;
    case FD_CLOSE: return SocketEvent::Close;
    default: return SocketEvent::Recheck;
    }
}

void WatchClient(void * /*context*/, NetSocket s) {
    WSAAsyncSelect(static_cast<SOCKET>(s), g_server.window, WM_STATUS_SOCKET, FD_READ | FD_CLOSE);
}

void RefreshFromCore(void * /*context*/) { ShowStatus(); }

void CpuStalled(void * /*context*/, NetSocket s) {
    try {
        g_server.newlyStalled.push_back(s);
    } catch (const std::bad_alloc &) {
        // Out of memory: this stall goes unannounced.
    }
}

const ServerHost kHost = {nullptr, WatchClient, RefreshFromCore, CpuStalled};

// Takes the connections one accept notice stands for: taking a burst of them saves a round
// of window messages per connection, which Wine makes slow. An accept that fails for want of
// sockets has a silent connection make room (the core picks it); when every client has
// reported, accept notices stop for a moment, so the waiting connections do not spin the
// window, and the pending ones stay in the backlog until a client leaves.
void AcceptBurst(HWND window, NetSocket listener) {
    for (int i = 0; i < kAcceptsPerNotice; ++i) {
        AcceptOutcome outcome = ServerAccept(g_server.table, kHost, listener);
        if (outcome == AcceptOutcome::NoDescriptors && MakeRoomForClient(g_server.table, kHost)) {
            outcome = ServerAccept(g_server.table, kHost, listener);
        }
        if (outcome == AcceptOutcome::Accepted || outcome == AcceptOutcome::Refused) continue;
        if (outcome == AcceptOutcome::NoDescriptors &&
            WSAAsyncSelect(static_cast<SOCKET>(listener), window, WM_STATUS_SOCKET, 0) == 0 &&
            !SetTimer(window, kAcceptPauseTimer, kAcceptPauseMs, nullptr)) {
            WSAAsyncSelect(static_cast<SOCKET>(listener), window, WM_STATUS_SOCKET, FD_ACCEPT);  // no timer: no pause
        }
        break;  // none waiting, or no room
    }
}

// The one prune and refresh of a batch.
void EndBatch() {
    const uint64_t start = MonotonicNanos();
    FinishSocketEvents(g_server.table, kHost);
    BatchFinished(g_server.pacing, start, MonotonicNanos());
}

void ScheduleBatchEnd(HWND window);

void CALLBACK BatchTimerProc(HWND window, UINT /*message*/, UINT_PTR id, DWORD /*time*/) {
    KillTimer(window, id);
    g_server.batchTimerSet = false;
    ScheduleBatchEnd(window);
}

// After socket notifications: ends the batch behind the ones queued now when
// the pacing rule allows, or sets the timer for when it will.
void ScheduleBatchEnd(HWND window) {
    if (g_server.batchEndPosted) return;
    const int64_t due = FinishDueInMs(g_server.pacing, MonotonicNanos());
    if (due < 0) return;
    if (due == 0) {
        if (g_server.batchTimerSet) {
            KillTimer(window, kBatchTimerId);
            g_server.batchTimerSet = false;
        }
        g_server.batchEndPosted = PostMessageA(window, WM_STATUS_BATCH_END, 0, 0) != 0;
        if (!g_server.batchEndPosted) EndBatch();  // queue full: end it here
    } else if (!g_server.batchTimerSet) {
        g_server.batchTimerSet = SetTimer(window, kBatchTimerId, static_cast<UINT>(due), BatchTimerProc) != 0;
        if (!g_server.batchTimerSet) EndBatch();  // no timer to be had: end it here
    }
}

void SetIcons(HWND window) {
    HANDLE smallIcon = LoadImageA(g_server.instance, MAKEINTRESOURCEA(IDI_PELLICK), IMAGE_ICON, 16, 16, 0);
    HANDLE largeIcon = LoadImageA(g_server.instance, MAKEINTRESOURCEA(IDI_PELLICK), IMAGE_ICON, 32, 32, 0);
    if (smallIcon) SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    if (largeIcon) SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon));
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        SetIcons(window);
        break;
    case WM_CLOSE:
        // The loop ends after this message; the shutdown sequence destroys the window.
        g_server.running = 0;
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_OPTIONS) {
            RunOptionsDialog(g_server.instance, window, g_server.settings);
            ShowStatus();
        }
        break;
    case WM_DASHBOARD_WAKE:
        if (g_server.web) DashboardRunPending(*g_server.web, g_server.settings, kHost);
        return TRUE;
    case WM_STATUS_SOCKET: {
        const SocketEvent event = EventOf(lParam);
        if (event == SocketEvent::Accept) {
            AcceptBurst(window, static_cast<NetSocket>(wParam));
        } else {
            ServerSocketEvent(g_server.table, kHost, static_cast<NetSocket>(wParam), event);
        }
        BatchEvents(g_server.pacing);
        ScheduleBatchEnd(window);
        // Handled: in a dialog this number is also DM_SETDEFID, which the
        // default handling would otherwise apply with the socket as a control id.
        return TRUE;
    }
    case WM_STATUS_BATCH_END:
        g_server.batchEndPosted = false;
        EndBatch();
        return TRUE;
    case WM_TIMER:
        if (wParam == kAcceptPauseTimer) {
            KillTimer(window, kAcceptPauseTimer);
            // A connection still waiting brings an accept notice at once.
            WSAAsyncSelect(static_cast<SOCKET>(g_server.listener), window, WM_STATUS_SOCKET, FD_ACCEPT);
            return TRUE;
        }
        if (wParam != kClientTimesTimer) break;
        CheckClientTimes(g_server.table, kHost, static_cast<uint32_t>(g_server.settings.stallSeconds));
        if (g_server.table.refreshNeeded && !g_server.batchEndPosted) FinishSocketEvents(g_server.table, kHost);
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

// Called by the dashboard's HTTP threads: the window thread applies what the page sent.
void WakeWindow(void *window) { PostMessageA(static_cast<HWND>(window), WM_DASHBOARD_WAKE, 0, 0); }

// The web dashboard, only when the registry value "HttpPort" names a port. Its
// failure leaves the status server running without it, reporting nothing.
void StartDashboard() {
    const int port = DashboardPortSetting(0, g_server.testPorts);
    if (port < 0) return;
    DashboardConfig config;
    config.port = static_cast<uint16_t>(port);
    config.ansiPaths = true;  // paths typed on the page go to the ANSI file calls
    config.wake = WakeWindow;
    config.wakeContext = g_server.window;
    config.history = g_server.runs ? g_server.runs->Store() : nullptr;
    std::string error;
    g_server.web = DashboardStart(config, error);
}

// Start-up in its fixed order; 0 as soon as a step fails.
int StartUp(HINSTANCE instance) {
    g_server.instance = instance;
    g_server.messageLength = MessageLength(kFieldTable);
    if (g_server.messageLength != kMessageLength) return 0;
    if (!NetStartup()) return 0;
    g_server.netStarted = 1;
    // Exclusive: with plain address reuse a second server could bind the
    // same port and take connections away from the first.
    g_server.listener = NetListen(g_server.testPorts.status.value_or(STATUS_PORT), SOMAXCONN, true);
    if (g_server.listener == kNoNetSocket) return 0;
    g_server.settings = LoadSettings();  // only now: a server that cannot listen leaves the HTML file alone
    g_server.notifier = NotifierStart(ServerNotifierConfig(g_server.testPorts.webhookMs.value_or(0)));
    g_server.table.peer = PeerTimeoutsFor(g_server.testPorts.peerSeconds.value_or(0));
    g_server.table.maxPerAddress = static_cast<uint32_t>(g_server.settings.maxCpusPerAddress);
    g_server.table.networks = g_server.settings.statusNetworks;
    if (!g_server.settings.statusNetworksIssue.empty()) {
        std::fprintf(stderr, "pellicksrv: %s\n", g_server.settings.statusNetworksIssue.c_str());
    }
    g_server.window =
        CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_RENDER_STATUS), nullptr, MainDialogProc, 0);
    if (!g_server.window) return 0;
    g_server.runs = std::make_unique<RunHistory>(RunHistoryConfig{
        HistoryPath(g_server.testPorts),
        [n = g_server.notifier](std::string_view entry) { NotifierPost(n, "job.finished", entry); },
        [](const std::string &line) { std::fprintf(stderr, "pellicksrv: %s\n", line.c_str()); }});
    StartDashboard();
    g_server.htmlWriter = std::make_unique<FileWriter>(WriteWholeFile);
    ShowStatus();
    if (!SetTimer(g_server.window, kClientTimesTimer, kClientTimesPeriodMs, nullptr)) return 0;
    return WSAAsyncSelect(static_cast<SOCKET>(g_server.listener), g_server.window, WM_STATUS_SOCKET, FD_ACCEPT) == 0;
}

void RunMessageLoop() {
    MSG message{};
    while (g_server.running) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) break;  // quit
        if (got == -1) continue;  // nothing was fetched
        if (IsDialogMessageA(g_server.window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Releases whatever start-up acquired, in reverse order; copes with any subset.
void ShutDown() {
    if (g_server.runs) g_server.runs->Stop();  // the runs stay open: a stop is not their CPUs leaving
    ReleaseClients(g_server.table);
    ShowStatus();  // "No render in progress", in the HTML file when output is on
    if (g_server.htmlWriter) g_server.htmlWriter->Close(-1);  // written before the program ends
    g_server.htmlWriter.reset();
    DashboardStop(g_server.web);  // before the window its wake-ups are posted to goes
    g_server.web = nullptr;
    g_server.runs.reset();
    // Events still waiting get a moment; a hook that hangs never holds the stop for long.
    NotifierStop(g_server.notifier, kNotifierStopDrainMs);
    g_server.notifier = nullptr;
    if (g_server.window) {
        DestroyWindow(g_server.window);
        g_server.window = nullptr;
    }
    if (g_server.listener != kNoNetSocket) {
        NetClose(g_server.listener);
        g_server.listener = kNoNetSocket;
    }
    if (g_server.netStarted) {
        NetCleanup();
        g_server.netStarted = 0;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
    // A test override that is not a port ends the program before anything
    // starts, with the reason on standard error (tests only).
    std::string portError;
    if (!ReadTestPorts(g_server.testPorts, portError)) {
        std::fprintf(stderr, "pellicksrv: %s\n", portError.c_str());
        return 1;
    }
    if (StartUp(instance)) RunMessageLoop();
    ShutDown();
    return 0;
}
