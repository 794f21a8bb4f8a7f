// pellicksrv for Windows: start-up, the "Render Status" window and its message loop, and the shutdown sequence.
#include "clock.h"
#include "net.h"
#include "options_dialog.h"
#include "resources/resource.h"
#include "server_app.h"
#include "status_record.h"
#include "test_ports.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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

// One line on standard error (seen when started from a console).
void SayLine(const std::string &line) { std::fprintf(stderr, "pellicksrv: %s\n", line.c_str()); }

// What only the Windows program has, beside the program both systems run;
// touched by the window thread only.
struct ServerState {
    int running = 1;
    HINSTANCE instance = nullptr;
    NetSocket listener = kNoNetSocket;
    int netStarted = 0;
    HWND window = nullptr;
    bool batchEndPosted = false;
    bool batchTimerSet = false;
    TestPorts testPorts;  // test-only port overrides
    std::unique_ptr<ServerApp> app;
};
ServerState g_server;

// The nine value fields of the window, after every refresh.
void ShowFields(const StatusFields &shown) {
    if (!g_server.window) return;
    StatusFields fields = shown;
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
    const int64_t due = g_server.app->BatchDueInMs(MonotonicNanos());
    if (due < 0) return;
    if (due == 0) {
        if (g_server.batchTimerSet) {
            KillTimer(window, kBatchTimerId);
            g_server.batchTimerSet = false;
        }
        g_server.batchEndPosted = PostMessageA(window, WM_STATUS_BATCH_END, 0, 0) != 0;
        if (!g_server.batchEndPosted) g_server.app->EndBatch();  // queue full: end it here
    } else if (!g_server.batchTimerSet) {
        g_server.batchTimerSet = SetTimer(window, kBatchTimerId, static_cast<UINT>(due), BatchTimerProc) != 0;
        if (!g_server.batchTimerSet) g_server.app->EndBatch();  // no timer to be had: end it here
    }
}

// Takes the connections one accept notice stands for: taking a burst of them saves a round
// of window messages per connection, which Wine makes slow. An accept that fails for want of
// sockets has a silent connection make room (the core picks it); when every client has
// reported, accept notices stop for a moment, so the waiting connections do not spin the
// window, and the pending ones stay in the backlog until a client leaves.
void AcceptBurst(HWND window, NetSocket listener) {
    ServerApp &app = *g_server.app;
    for (int i = 0; i < kAcceptsPerNotice; ++i) {
        AcceptOutcome outcome = app.Accept(listener);
        if (outcome == AcceptOutcome::NoDescriptors && app.MakeRoom()) outcome = app.Accept(listener);
        if (outcome == AcceptOutcome::Accepted || outcome == AcceptOutcome::Refused) continue;
        if (outcome == AcceptOutcome::NoDescriptors &&
            WSAAsyncSelect(static_cast<SOCKET>(listener), window, WM_STATUS_SOCKET, 0) == 0 &&
            !SetTimer(window, kAcceptPauseTimer, kAcceptPauseMs, nullptr)) {
            WSAAsyncSelect(static_cast<SOCKET>(listener), window, WM_STATUS_SOCKET, FD_ACCEPT);  // no timer: no pause
        }
        break;  // none waiting, or no room
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
        if (LOWORD(wParam) == IDC_OPTIONS && g_server.app) {
            RunOptionsDialog(g_server.instance, window, g_server.app->Settings());
            g_server.app->SettingsChanged();
        }
        break;
    case WM_DASHBOARD_WAKE:
        if (g_server.app) g_server.app->RunDashboardPending();
        return TRUE;
    case WM_STATUS_SOCKET: {
        if (!g_server.app) return TRUE;
        const SocketEvent event = EventOf(lParam);
        if (event == SocketEvent::Accept) {
            AcceptBurst(window, static_cast<NetSocket>(wParam));
        } else {
            g_server.app->OnSocket(static_cast<NetSocket>(wParam), event);
        }
        ScheduleBatchEnd(window);
        // Handled: in a dialog this number is also DM_SETDEFID, which the
        // default handling would otherwise apply with the socket as a control id.
        return TRUE;
    }
    case WM_STATUS_BATCH_END:
        g_server.batchEndPosted = false;
        if (g_server.app) g_server.app->EndBatch();
        return TRUE;
    case WM_TIMER:
        if (wParam == kAcceptPauseTimer) {
            KillTimer(window, kAcceptPauseTimer);
            // A connection still waiting brings an accept notice at once.
            WSAAsyncSelect(static_cast<SOCKET>(g_server.listener), window, WM_STATUS_SOCKET, FD_ACCEPT);
            return TRUE;
        }
        if (wParam != kClientTimesTimer || !g_server.app) break;
        g_server.app->CheckTimes();
        ScheduleBatchEnd(window);
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

// Called by the dashboard's HTTP threads: the window thread applies what the page sent.
void WakeWindow(void *window) { PostMessageA(static_cast<HWND>(window), WM_DASHBOARD_WAKE, 0, 0); }

// Start-up in its fixed order; 0 as soon as a step fails. The web dashboard
// runs only when the registry value "HttpPort" names a port.
int StartUp(HINSTANCE instance) {
    g_server.instance = instance;
    if (MessageLength(kFieldTable) != kMessageLength) return 0;
    if (!NetStartup()) return 0;
    g_server.netStarted = 1;
    // Exclusive: with plain address reuse a second server could bind the
    // same port and take connections away from the first.
    g_server.listener = NetListen(g_server.testPorts.status.value_or(STATUS_PORT), SOMAXCONN, true);
    if (g_server.listener == kNoNetSocket) return 0;
    g_server.window =
        CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_RENDER_STATUS), nullptr, MainDialogProc, 0);
    if (!g_server.window) return 0;
    ServerAppConfig config;
    config.testPorts = g_server.testPorts;
    config.say = SayLine;
    config.show = ShowFields;
    config.watchClient = WatchClient;
    config.dashboard.ansiPaths = true;  // paths typed on the page go to the ANSI file calls
    config.dashboard.wake = WakeWindow;
    config.dashboard.wakeContext = g_server.window;
    g_server.app = std::make_unique<ServerApp>(std::move(config));
    g_server.app->Start();
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

// The program's parts in their stop order, then this system's in reverse order of their start; copes with any subset.
void ShutDown() {
    if (g_server.app) g_server.app->Stop();  // before the window its wake-ups are posted to goes
    if (g_server.window) {
        DestroyWindow(g_server.window);
        g_server.window = nullptr;
    }
    g_server.app.reset();
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
