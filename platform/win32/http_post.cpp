// Posting a JSON body with WinHTTP: no proxy look-up, every phase bounded by the try's time-out.
#include "http_post.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>

namespace {

void SetError(HttpPostResult &result, const char *what, DWORD code) {
    if (code == ERROR_WINHTTP_TIMEOUT) {
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
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.h, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    if (aborted()) return 0;
    const wchar_t *headers = L"Content-Type: application/json\r\n";
    const auto length = static_cast<DWORD>(bodyLength);
    if (!WinHttpSendRequest(request.h, headers, static_cast<DWORD>(-1L), const_cast<char *>(body), length, length,
                            0)) {
        SetError(result, "sending", GetLastError());
        return 0;
    }
    if (aborted()) return 0;
    if (!WinHttpReceiveResponse(request.h, nullptr)) {
        SetError(result, "waiting for the answer", GetLastError());
        return 0;
    }
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        SetError(result, "reading the status", GetLastError());
        return 0;
    }
    result.status = static_cast<int>(status);
    if (status < 200 || status > 299) {
        std::snprintf(result.error, sizeof result.error, "the answer was HTTP %lu", static_cast<unsigned long>(status));
        return 0;
    }
    return 1;
}
