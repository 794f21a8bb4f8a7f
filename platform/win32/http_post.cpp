// Posting a JSON body with WinHTTP: no proxy look-up, every phase bounded by the try's time-out.
#include "http_post.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

void SetError(HttpPostResult &result, const char *what, DWORD code) {
    // Wine reports a time-out of the answer as the socket's WSAETIMEDOUT.
    if (code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT) {
        std::snprintf(result.error, sizeof result.error, "timed out");
    } else {
        std::snprintf(result.error, sizeof result.error, "%s failed (WinHTTP error %lu)", what,
                      static_cast<unsigned long>(code));
    }
}

// Closes a WinHTTP handle when it goes out of scope.
struct Handle {
    HINTERNET h = nullptr;
    explicit Handle(HINTERNET handle) : h(handle) {}
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    explicit operator bool() const { return h != nullptr; }
};

// Ends a try that outlives its deadline or is aborted: closing the request
// handle cancels the call blocked on it (WinHttpCloseHandle's documented
// behaviour; Wine returns only at the next time-out). The WinHTTP time-outs
// bound each phase; this bounds the whole try.
class Watchdog {
public:
    Watchdog(HINTERNET request, uint32_t timeoutMs, const std::atomic<bool> *abort)
        : request_(request), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)),
          abort_(abort) {
        try {
            thread_ = std::thread([this] { Watch(); });
        } catch (const std::system_error &) {
            // No watchdog: the per-phase time-outs still end the try.
        }
    }
    // Ends the watch; true when the watchdog closed the handle.
    bool Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        return closed_;
    }
    ~Watchdog() { Finish(); }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            if ((abort_ && abort_->load()) || std::chrono::steady_clock::now() >= deadline_) {
                WinHttpCloseHandle(request_);
                closed_ = true;
                return;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(50));
        }
    }

    HINTERNET request_;
    std::chrono::steady_clock::time_point deadline_;
    const std::atomic<bool> *abort_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace

int HttpPostJson(const char *url, const char *body, size_t bodyLength, uint32_t timeoutMs,
                 const std::atomic<bool> *abort, HttpPostResult &result) {
    result = HttpPostResult();
    const auto aborted = [&] {
        if (!abort || !abort->load()) return false;
        std::snprintf(result.error, sizeof result.error, "aborted");
        return true;
    };
    if (bodyLength > MAXDWORD) {
        std::snprintf(result.error, sizeof result.error, "the body is too large");
        return 0;
    }
    // The address is ASCII (the settings check it), so it widens byte by byte.
    std::wstring wide;
    for (const char *p = url; *p; ++p) wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        std::snprintf(result.error, sizeof result.error, "not an http:// or https:// address");
        return 0;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    // No proxy: the default access type asks the system's proxy settings,
    // and automatic discovery can wait far beyond any time-out set here.
    Handle session(WinHttpOpen(L"pellicksrv", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        SetError(result, "WinHttpOpen", GetLastError());
        return 0;
    }
    const int t = static_cast<int>(timeoutMs);
    if (!WinHttpSetTimeouts(session.h, t, t, t, t)) {
        SetError(result, "WinHttpSetTimeouts", GetLastError());
        return 0;
    }
    Handle connection(WinHttpConnect(session.h, host.c_str(), parts.nPort, 0));
    if (!connection) {
        SetError(result, "WinHttpConnect", GetLastError());
        return 0;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    Handle request(WinHttpOpenRequest(connection.h, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) {
        SetError(result, "WinHttpOpenRequest", GetLastError());
        return 0;
    }
    // WinHttpSetTimeouts does not bound the wait for the answer's headers:
    // that is a time-out of its own (90 s on Windows, none under Wine).
    DWORD responseMs = timeoutMs;
    if (!WinHttpSetOption(request.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof responseMs)) {
        SetError(result, "setting the answer's time-out", GetLastError());
        return 0;
    }
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.h, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    if (aborted()) return 0;
    Watchdog watchdog(request.h, timeoutMs, abort);
    // After the watchdog fired the handle is closed: the calls fail, and it is not closed twice.
    const auto cut = [&] {
        if (!watchdog.Finish()) return false;
        request.h = nullptr;
        std::snprintf(result.error, sizeof result.error, "%s", abort && abort->load() ? "aborted" : "timed out");
        return true;
    };
    const wchar_t *headers = L"Content-Type: application/json\r\n";
    const auto length = static_cast<DWORD>(bodyLength);
    if (!WinHttpSendRequest(request.h, headers, static_cast<DWORD>(-1L), const_cast<char *>(body), length, length,
                            0)) {
        const DWORD code = GetLastError();
        if (!cut()) SetError(result, "sending", code);
        return 0;
    }
    if (!WinHttpReceiveResponse(request.h, nullptr)) {
        const DWORD code = GetLastError();
        if (!cut()) SetError(result, "waiting for the answer", code);
        return 0;
    }
    DWORD status = 0, size = sizeof status;
    const BOOL read = WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    const DWORD code = GetLastError();
    if (cut()) return 0;
    if (!read) {
        SetError(result, "reading the status", code);
        return 0;
    }
    result.status = static_cast<int>(status);
    if (status < 200 || status > 299) {
        std::snprintf(result.error, sizeof result.error, "the answer was HTTP %lu", static_cast<unsigned long>(status));
        return 0;
    }
    return 1;
}
