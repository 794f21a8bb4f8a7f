// Drives pellicksrv.exe's real windows the way a user would: starts it, feeds it status messages, clicks, picks and types.
//
// Run by run_gui_tests.sh under Wine on a private X display. Environment:
//   PELLICK_GUI_SERVER  pellicksrv.exe (Unix or Windows path)
//   PELLICK_GUI_WORK    a scratch folder for HTML files
//   PELLICK_GUI_SHOTS   folder for screenshot requests (optional): the driver
//                       writes <name>.req with the window's geometry and waits
//                       for <name>.done, which the script writes after taking it.
#include "clock.h"
#include "net.h"
#include "status_record.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDeadlineMs = 30000;  // generous: a loaded machine under Wine is slow
constexpr const char *kKey = "Software\\Zandrel\\Pellick";

// Control ids of the two windows.
constexpr int kActiveCpus = 1000, kPassesRendered = 1001, kTotalPasses = 1002, kRecentTimePerPass = 1006;
constexpr int kOptionsButton = 1012;
constexpr int kSaveBox = 1009, kPathField = 1010, kBrowse = 1011, kMaxScaleList = 1013, kPrecisionList = 1014,
              kSample = 1015;

template <class Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = kDeadlineMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

std::string Env(const char *name) {
    char value[1024];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n && n < sizeof value ? std::string(value, n) : std::string();
}

// /a/b → Z:\a\b, the drive Wine maps the Unix root to; Windows paths pass through.
std::string WindowsPath(std::string path) {
    if (path.empty() || path[0] != '/') return path;
    for (char &c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

std::string Narrow(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string &text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    return out;
}

// ---- registry: the server's settings, set and read back as another program would

HKEY OpenKey() {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void SetRegString(const char *name, const std::string &value) {
    HKEY key = OpenKey();
    ASSERT_NE(key, nullptr);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

void DeleteSettings() {
    HKEY key = OpenKey();
    ASSERT_NE(key, nullptr);
    for (const char *name : {"HTML", "MaxScale", "Resolution"}) RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// The value as text ("<missing>" when absent): strings as stored, DWORDs in decimal.
std::string RegValue(const char *name) {
    HKEY key = OpenKey();
    if (!key) return "<no key>";
    BYTE data[600] = {};
    DWORD type = 0, size = sizeof data - 1;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "<missing>";
    if (type == REG_SZ) return std::string(reinterpret_cast<const char *>(data));
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        std::memcpy(&v, data, 4);
        return std::to_string(v);
    }
    return "<type " + std::to_string(type) + ">";
}

// Wine draws captions itself when no window manager manages its windows,
// so screenshots show the title bar and the icon.
void LetWineDrawCaptions() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE *>("N"), 2);
    RegCloseKey(key);
}

// ---- files

bool FileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// ---- windows of another process

struct WindowQuery {
    DWORD pid;
    const char *title;  // nullptr: any
    HWND owner;         // nullptr: any
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto *q = reinterpret_cast<WindowQuery *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != q->pid || !IsWindowVisible(window)) return TRUE;
    if (q->owner && GetWindow(window, GW_OWNER) != q->owner) return TRUE;
    if (q->title) {
        char title[256] = {};
        GetWindowTextA(window, title, sizeof title);
        if (std::strcmp(title, q->title) != 0) return TRUE;
    }
    q->found = window;
    return FALSE;
}

HWND FindProcessWindow(DWORD pid, const char *title, HWND owner = nullptr) {
    WindowQuery q{pid, title, owner, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

// Asks the control itself: GetWindowText of another process's window
// returns only the caption the system keeps, which an edit control does not.
std::string Text(HWND window) {
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

std::string ItemText(HWND dialog, int id) {
    char text[600] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// A list's entries, read with the wide messages (ANSI ones come back mangled
// across processes under Wine).
std::vector<std::string> ListEntries(HWND list) {
    std::vector<std::string> out;
    LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= 255) break;
        SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        out.push_back(Narrow(text));
    }
    return out;
}

std::string ListSelection(HWND list) {
    LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index < 0) return "<none>";
    std::vector<std::string> entries = ListEntries(list);
    return static_cast<size_t>(index) < entries.size() ? entries[static_cast<size_t>(index)] : "<bad index>";
}

// What a user's click on a button sends to its dialog.
void Click(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// What a user's pick in a drop-down list does: the selection moves, then the
// list tells its dialog.
void Pick(HWND dialog, int id, int index) {
    HWND list = GetDlgItem(dialog, id);
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void PressKey(HWND window, WPARAM key) {
    PostMessageA(window, WM_KEYDOWN, key, 1);
    PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

// The caption's close box.
void CloseBox(HWND window) { PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

// Asks the script for a screenshot of the window and waits until it is taken.
void Screenshot(HWND window, const char *name) {
    std::string folder = WindowsPath(Env("PELLICK_GUI_SHOTS"));
    if (folder.empty()) return;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    DWORD_PTR ignored;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
    RECT r{};
    GetWindowRect(window, &r);
    std::string base = folder + "\\" + name;
    DeleteFileA((base + ".done").c_str());
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
    WriteFile(base + ".tmp", geometry);
    MoveFileExA((base + ".tmp").c_str(), (base + ".req").c_str(), MOVEFILE_REPLACE_EXISTING);
    EXPECT_TRUE(WaitFor([&] { return FileExists(base + ".done"); })) << "no screenshot " << name;
}

// ---- status messages

StatusRecord MakeRecord(int32_t cpu, uint32_t done, uint32_t total, int64_t recentPassTime) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof r.signature);
    const uint64_t now = NowFileTime();
    r.startTime = now - 600 * kTicksPerSecond;
    r.lastPassTime = recentPassTime;
    r.passStartTime = now - static_cast<uint64_t>(recentPassTime);
    r.recentPassTime = recentPassTime;
    r.elapsedTime = static_cast<int64_t>(600 * kTicksPerSecond);
    r.passesPerFrame = 1;
    r.totalPasses = total;
    r.passesDone = done;
    r.currentFrame = static_cast<int32_t>(done);
    r.cpuIndex = cpu;
    std::strcpy(r.sceneName, "gui test scene");
    std::strcpy(r.sceneFile, "C:\\scenes\\gui.scn");
    return r;
}

class Client {
public:
    explicit Client(uint16_t port) {
        socket_ = NetOpenTcp();
        uint32_t loopback = 0;
        if (socket_ == kNoNetSocket || !NetResolveIPv4("127.0.0.1", &loopback) ||
            !NetConnect(socket_, loopback, port, 10000)) {
            NetClose(socket_);
            socket_ = kNoNetSocket;
        }
    }
    ~Client() { NetClose(socket_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool Connected() const { return socket_ != kNoNetSocket; }

    bool Send(const StatusRecord &record) {
        std::array<uint8_t, kMessageLength> message{};
        if (EncodeRecord(record, kFieldTable, message) != message.size()) return false;
        size_t sent = 0;
        while (sent < message.size()) {
            long n = NetSend(socket_, message.data() + sent, message.size() - sent);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // True once the server has closed the connection.
    bool ClosedByPeer(DWORD timeoutMs) {
        SOCKET s = static_cast<SOCKET>(socket_);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
        char byte;
        return recv(s, &byte, 1, 0) <= 0;
    }

private:
    NetSocket socket_ = kNoNetSocket;
};

uint16_t FreePort() {
    NetSocket s = NetListen(0, 1, true);
    uint16_t port = NetLocalPort(s);
    NetClose(s);
    return port;
}

// ---- one pellicksrv.exe process

class Server {
public:
    ~Server() { Kill(); }

    // Starts the program on port; with expectWindow, waits for its window.
    bool Start(uint16_t port, bool expectWindow = true) {
        port_ = port;
        SetEnvironmentVariableA("PELLICK_TEST_PORT", std::to_string(port).c_str());
        std::string exe = WindowsPath(Env("PELLICK_GUI_SERVER"));
        std::string command = "\"" + exe + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_)) {
            ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
            return false;
        }
        SetEnvironmentVariableA("PELLICK_TEST_PORT", nullptr);
        if (!expectWindow) return true;
        // The window shows the empty state once start-up has refreshed it.
        bool up = WaitFor([&] {
            window_ = FindProcessWindow(pi_.dwProcessId, "Render Status");
            return window_ && ItemText(window_, kActiveCpus) == "0";
        });
        EXPECT_TRUE(up) << "no \"Render Status\" window";
        return up;
    }

    // Closes the window as the user would and returns the exit code (-1: did not end).
    long Stop() {
        if (window_) CloseBox(window_);
        long code = WaitForExit();
        window_ = nullptr;
        return code;
    }

    long WaitForExit() {
        if (!pi_.hProcess) return -1;
        if (WaitForSingleObject(pi_.hProcess, kDeadlineMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi_.hProcess, &code);
        Release();
        return static_cast<long>(code);
    }

    HWND Window() const { return window_; }
    DWORD Pid() const { return pi_.dwProcessId; }
    uint16_t Port() const { return port_; }
    bool Running() const { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

    std::string Field(int id) const { return ItemText(window_, id); }

    // Opens the options dialog with the "&Options" button and waits for it.
    HWND OpenOptions() {
        Click(window_, kOptionsButton);
        HWND dialog = nullptr;
        EXPECT_TRUE(WaitFor([&] { return (dialog = FindProcessWindow(Pid(), "Dialog", window_)) != nullptr; }))
            << "the options dialog did not open";
        return dialog;
    }

private:
    void Kill() {
        if (!pi_.hProcess) return;
        if (Running()) {
            TerminateProcess(pi_.hProcess, 99);
            WaitForSingleObject(pi_.hProcess, kDeadlineMs);
        }
        Release();
    }
    void Release() {
        if (pi_.hProcess) CloseHandle(pi_.hProcess);
        if (pi_.hThread) CloseHandle(pi_.hThread);
        pi_ = {};
    }

    PROCESS_INFORMATION pi_{};
    HWND window_ = nullptr;
    uint16_t port_ = 0;
};

class PellicksrvGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(NetStartup());
        LetWineDrawCaptions();
    }
    static void TearDownTestSuite() { NetCleanup(); }

    void SetUp() override {
        ASSERT_FALSE(Env("PELLICK_GUI_SERVER").empty()) << "PELLICK_GUI_SERVER is not set";
        work_ = WindowsPath(Env("PELLICK_GUI_WORK"));
        ASSERT_FALSE(work_.empty()) << "PELLICK_GUI_WORK is not set";
        CreateDirectoryA(work_.c_str(), nullptr);
        DeleteSettings();
    }

    // A fresh file name in the work folder, deleted if left from an earlier run.
    std::string WorkFile(const std::string &name) {
        std::string path = work_ + "\\" + name;
        DeleteFileA(path.c_str());
        return path;
    }

    std::string work_;
};

// ---- tests

TEST_F(PellicksrvGui, WindowShowsItsLayoutCountsAClientAndClosesItsConnectionsOnExit) {
    const std::string html = WorkFile("close.htm");
    SetRegString("HTML", html);
    Server server;
    ASSERT_TRUE(server.Start(FreePort()));
    HWND window = server.Window();

    // Labels in template order, each followed by its value field.
    const std::vector<std::string> expectedLabels = {"Active CPUs:",   "Passes Rendered:",  "Total Passes:",
                                                     "Percent Complete:", "Start Time:",     "Elapsed Time:",
                                                     "Recent Time/Pass:", "Est Remaining:", "Est Complete at:"};
    std::vector<std::string> labels;
    std::vector<int> valueIds;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        int id = GetDlgCtrlID(child);
        if (id == 0xFFFF || id == -1) labels.push_back(Text(child));
        else if (id != kOptionsButton) valueIds.push_back(id);
    }
    EXPECT_EQ(labels, expectedLabels);
    EXPECT_EQ(valueIds, (std::vector<int>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008}));
    EXPECT_EQ(ItemText(window, kOptionsButton), "&Options");

    // The empty state: counters 0, the other fields empty, the file says so.
    EXPECT_EQ(server.Field(kPassesRendered), "0");
    EXPECT_EQ(server.Field(kTotalPasses), "0");
    for (int id = 1003; id <= 1008; ++id) EXPECT_EQ(server.Field(id), "") << "field " << id;
    EXPECT_NE(ReadFile(html).find("No render in progress"), std::string::npos) << ReadFile(html);

    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(MakeRecord(0, 3, 10, 15000000)));
    EXPECT_TRUE(WaitFor([&] { return server.Field(kActiveCpus) == "1"; })) << server.Field(kActiveCpus);
    EXPECT_EQ(server.Field(kPassesRendered), "3");
    EXPECT_EQ(server.Field(kTotalPasses), "10");
    EXPECT_EQ(ReadFile(html).find("No render in progress"), std::string::npos) << ReadFile(html);
    Screenshot(window, "main-window");

    // Closing with a client connected: the client is disconnected, the
    // program ends with 0 and the file says nothing is rendering.
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_TRUE(client.ClosedByPeer(kDeadlineMs));
    EXPECT_NE(ReadFile(html).find("No render in progress"), std::string::npos) << ReadFile(html);
}

#pragma pack(push, 2)
struct GroupIconEntry {  // one image of an icon group resource
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(PellicksrvGui, IconIsOne32By32SixteenColourImage) {
    const std::string exe = WindowsPath(Env("PELLICK_GUI_SERVER"));
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << exe;
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */);
    ASSERT_NE(group, nullptr) << "no icon 101";
    const auto *bytes = static_cast<const BYTE *>(LockResource(LoadResource(module, group)));
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(SizeofResource(module, group), 6 + sizeof(GroupIconEntry));
    WORD count;
    std::memcpy(&count, bytes + 4, sizeof count);
    GroupIconEntry entry;
    std::memcpy(&entry, bytes + 6, sizeof entry);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(entry.width, 32);
    EXPECT_EQ(entry.height, 32);
    EXPECT_EQ(entry.colours, 16);
    EXPECT_EQ(entry.bitCount, 4);
    for (int size : {16, 32}) {
        HANDLE icon = LoadImageA(module, MAKEINTRESOURCEA(101), IMAGE_ICON, size, size, 0);
        EXPECT_NE(icon, nullptr) << size << " x " << size;
        if (icon) DestroyIcon(static_cast<HICON>(icon));
    }
    FreeLibrary(module);
}

TEST_F(PellicksrvGui, BusyPortEndsTheProgramAtOnceWithoutAWindowLeavingTheHtmlFileAlone) {
    const std::string html = WorkFile("busy.htm");
    WriteFile(html, "left as it was");
    SetRegString("HTML", html);
    NetSocket holder = NetListen(0, 1, false);  // another program on the port, plain address reuse
    ASSERT_NE(holder, kNoNetSocket);

    Server server;
    ASSERT_TRUE(server.Start(NetLocalPort(holder), false));
    bool windowSeen = false;
    EXPECT_TRUE(WaitFor([&] {
        windowSeen = windowSeen || FindProcessWindow(server.Pid(), nullptr) != nullptr;
        return !server.Running();
    })) << "pellicksrv.exe kept running on a busy port";
    EXPECT_FALSE(windowSeen);
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_EQ(ReadFile(html), "left as it was");
    NetClose(holder);
}

TEST_F(PellicksrvGui, OptionsListsApplyAndPersistAtOnceAndEscapeDoesNotClose) {
    Server server;
    ASSERT_TRUE(server.Start(FreePort()));
    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(MakeRecord(0, 3, 10, 15000000)));  // 1.5 s per pass
    ASSERT_TRUE(WaitFor([&] { return server.Field(kRecentTimePerPass) == "1.5000"; }))
        << server.Field(kRecentTimePerPass);

    HWND dialog = server.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(IsWindowEnabled(server.Window())) << "the dialog is not modal to the main window";
    HWND maxScale = GetDlgItem(dialog, kMaxScaleList), precision = GetDlgItem(dialog, kPrecisionList);
    HWND path = GetDlgItem(dialog, kPathField);

    // Opened with MaxScale 3, Resolution 4 and no saved path.
    EXPECT_EQ(ListEntries(maxScale), (std::vector<std::string>{"Seconds", "Minutes", "Hours", "Days"}));
    EXPECT_EQ(ListEntries(precision), (std::vector<std::string>{"(None)", "0.1", "0.01", "0.001", "0.0001"}));
    EXPECT_EQ(ListSelection(maxScale), "Days");
    EXPECT_EQ(ListSelection(precision), "0.0001");
    EXPECT_EQ(SendMessageA(GetDlgItem(dialog, kSaveBox), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(ItemText(dialog, kPathField), "");
    EXPECT_FALSE(IsWindowEnabled(path));
    EXPECT_EQ(ItemText(dialog, kSample), "3 days, 5:23:47.1234");
    Screenshot(dialog, "options-dialog-defaults");

    // Each pick shows at once in the sample and is in the registry while the dialog is still open.
    struct Step {
        int list, index;
        const char *sample, *value, *stored;
    };
    const Step steps[] = {
        {kMaxScaleList, 2, "77:23:47.1234", "MaxScale", "2"},
        {kPrecisionList, 0, "77:23:47", "Resolution", "0"},
        {kMaxScaleList, 0, "278627", "MaxScale", "0"},
        {kPrecisionList, 2, "278627.12", "Resolution", "2"},
    };
    for (const Step &step : steps) {
        Pick(dialog, step.list, step.index);
        EXPECT_TRUE(WaitFor([&] { return ItemText(dialog, kSample) == step.sample; }))
            << "sample " << ItemText(dialog, kSample) << ", expected " << step.sample;
        EXPECT_EQ(RegValue(step.value), step.stored) << step.value;
    }

    // Escape is ignored. The pick posted after it shows that it was handled.
    PressKey(dialog, VK_ESCAPE);
    Pick(dialog, kMaxScaleList, 1);
    EXPECT_TRUE(WaitFor([&] { return ItemText(dialog, kSample) == "4643:47.12"; })) << ItemText(dialog, kSample);
    EXPECT_TRUE(IsWindow(dialog)) << "Escape closed the dialog";
    EXPECT_EQ(RegValue("MaxScale"), "1");

    // Enter ends it, and the report is refreshed in the new form at once.
    PressKey(dialog, VK_RETURN);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); })) << "Enter did not close the dialog";
    EXPECT_TRUE(WaitFor([&] { return server.Field(kRecentTimePerPass) == "1.50"; }))
        << server.Field(kRecentTimePerPass);
    EXPECT_TRUE(IsWindowEnabled(server.Window()));

    // "OK" and the close box end it too; the lists show the values in use.
    for (int way = 0; way < 2; ++way) {
        dialog = server.OpenOptions();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(ListSelection(GetDlgItem(dialog, kMaxScaleList)), "Minutes");
        EXPECT_EQ(ListSelection(GetDlgItem(dialog, kPrecisionList)), "0.01");
        if (way == 0) Click(dialog, IDOK);
        else CloseBox(dialog);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); })) << (way == 0 ? "OK" : "the close box");
    }
    EXPECT_EQ(server.Stop(), 0);

    // The next start loads what the dialog stored.
    Server again;
    ASSERT_TRUE(again.Start(FreePort()));
    dialog = again.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ListSelection(GetDlgItem(dialog, kMaxScaleList)), "Minutes");
    EXPECT_EQ(ListSelection(GetDlgItem(dialog, kPrecisionList)), "0.01");
    EXPECT_EQ(ItemText(dialog, kSample), "4643:47.12");
    Click(dialog, IDOK);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    EXPECT_EQ(again.Stop(), 0);
}

BOOL CALLBACK MatchEdit(HWND window, LPARAM param) {
    char cls[64] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (_stricmp(cls, "Edit") != 0) return TRUE;
    *reinterpret_cast<HWND *>(param) = window;
    return FALSE;
}

// The chooser's file-name field: a plain edit (edt1) in some versions, the
// edit inside a combo box (cmb13) in others.
HWND ChooserNameField(HWND chooser) {
    for (int id : {0x480, 0x47c}) {
        HWND control = GetDlgItem(chooser, id);
        if (!control || !IsWindowVisible(control)) continue;
        char cls[64] = {};
        GetClassNameA(control, cls, sizeof cls);
        if (_stricmp(cls, "Edit") == 0) return control;
        HWND edit = nullptr;
        EnumChildWindows(control, MatchEdit, reinterpret_cast<LPARAM>(&edit));
        if (edit) return edit;
    }
    return nullptr;
}

// Chooses a file in the "..." chooser by typing its name and pressing its OK button.
void ChooseFileByTyping(const Server &server, HWND dialog, const std::string &file) {
    Click(dialog, kBrowse);
    HWND chooser = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (chooser = FindProcessWindow(server.Pid(), nullptr, dialog)) != nullptr; }))
        << "the file chooser did not open";
    HWND name = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (name = ChooserNameField(chooser)) != nullptr; }))
        << "no file-name field in the chooser";
    // Typed until it reads back, in case the chooser was still filling its fields.
    std::wstring wide = Widen(file);
    ASSERT_TRUE(WaitFor([&] {
        SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
        return Text(name) == file;
    })) << "the file-name field shows " << Text(name);
    Click(chooser, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(chooser); })) << "the chooser did not take " << file;
}

TEST_F(PellicksrvGui, ChosenFileIsStoredAndWrittenAndClearingSaveStopsOutputForThisRunOnly) {
    const std::string html = WorkFile("chosen-report");  // no extension: used as typed
    DeleteFileA((html + ".htm").c_str());
    Server server;
    ASSERT_TRUE(server.Start(FreePort()));
    HWND dialog = server.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    HWND save = GetDlgItem(dialog, kSaveBox), path = GetDlgItem(dialog, kPathField);

    ChooseFileByTyping(server, dialog, html);
    EXPECT_EQ(RegValue("HTML"), html);
    EXPECT_EQ(SendMessageA(save, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(IsWindowEnabled(path));
    EXPECT_EQ(ItemText(dialog, kPathField), html);
    Screenshot(dialog, "options-dialog-file-chosen");

    // A status message that arrives while the dialog is open is counted.
    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(MakeRecord(0, 3, 10, 15000000)));
    EXPECT_TRUE(WaitFor([&] { return server.Field(kActiveCpus) == "1"; })) << server.Field(kActiveCpus);
    EXPECT_TRUE(IsWindow(dialog));

    Click(dialog, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(html).find("Last Update") != std::string::npos; }))
        << "no report at " << html;
    EXPECT_FALSE(FileExists(html + ".htm"));

    // Clearing "Save": the field keeps the old path, greyed; the registry keeps it too.
    dialog = server.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    save = GetDlgItem(dialog, kSaveBox);
    path = GetDlgItem(dialog, kPathField);
    EXPECT_EQ(SendMessageA(save, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageA(save, BM_SETCHECK, BST_UNCHECKED, 0);
    Click(dialog, kSaveBox);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowEnabled(path); }));
    EXPECT_EQ(ItemText(dialog, kPathField), html);
    EXPECT_EQ(RegValue("HTML"), html);
    CloseBox(dialog);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));

    // Output is off: a new message updates the window but writes no file.
    ASSERT_TRUE(DeleteFileA(html.c_str()));
    ASSERT_TRUE(client.Send(MakeRecord(0, 4, 10, 15000000)));
    EXPECT_TRUE(WaitFor([&] { return server.Field(kPassesRendered) == "4"; })) << server.Field(kPassesRendered);
    EXPECT_FALSE(FileExists(html));

    // "Save" checked again without a file: output is on with no path, so
    // reopening shows "Save" cleared again.
    dialog = server.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(SendMessageA(GetDlgItem(dialog, kSaveBox), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageA(GetDlgItem(dialog, kSaveBox), BM_SETCHECK, BST_CHECKED, 0);
    Click(dialog, kSaveBox);
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(GetDlgItem(dialog, kPathField)) != FALSE; }));
    Click(dialog, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    dialog = server.OpenOptions();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(SendMessageA(GetDlgItem(dialog, kSaveBox), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(ItemText(dialog, kPathField), "");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kPathField)));
    Click(dialog, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_FALSE(FileExists(html));

    // After a restart the saved path is in use again.
    Server again;
    ASSERT_TRUE(again.Start(FreePort()));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(html).find("No render in progress") != std::string::npos; }))
        << "the saved path is not in use after a restart";
    EXPECT_EQ(again.Stop(), 0);
}

}  // namespace
