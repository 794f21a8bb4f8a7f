// Whole-file replacement on Windows: a temporary file made with CREATE_NEW beside the final target, then MoveFileExW.
// (Apart from files.cpp so the plug-in, which only reads file attributes, needs no random source.)
#include "files.h"

#include "random.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kTemporaryAttempts = 8;  // fresh names tried when one is taken

// The path in the ANSI code page as an absolute path with the \\?\ prefix,
// so a temporary name beside a path near the 260-character limit still fits.
bool LongPath(const char *path, std::wstring &out) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 1) return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n);
    const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need == 0) return false;
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return false;
    full.resize(got);
    if (full.rfind(L"\\\\?\\", 0) == 0) {
        out = full;
    } else if (full.rfind(L"\\\\", 0) == 0) {
        out = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
        out = L"\\\\?\\" + full;
    }
    return true;
}

// A target that is a link (reparse point) is replaced at the place it leads to.
void FollowLink(std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::wstring resolved(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, resolved.data(), static_cast<DWORD>(resolved.size()),
                                              FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n > 0 && n < resolved.size()) path.assign(resolved.data(), n);
}

}  // namespace

int WriteFileAtomic(const char *path, const void *data, size_t size) {
    if (!path || !*path) return 0;
    std::wstring target;
    if (!LongPath(path, target)) return 0;
    FollowLink(target);
    const size_t slash = target.rfind(L'\\');
    if (slash == std::wstring::npos) return 0;
    std::wstring tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kTemporaryAttempts && h == INVALID_HANDLE_VALUE; ++attempt) {
        unsigned char bytes[8];
        if (!RandomBytes(bytes, sizeof bytes)) return 0;
        wchar_t name[sizeof bytes * 2 + 1];
        for (size_t i = 0; i < sizeof bytes; ++i) std::swprintf(name + 2 * i, 3, L"%02x", bytes[i]);
        tmp = target.substr(0, slash) + L"\\.pellick-" + name + L".tmp";
        h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return 0;
    }
    if (h == INVALID_HANDLE_VALUE) return 0;
    const char *p = static_cast<const char *>(data);
    size_t left = size;
    while (left > 0) {
        DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) {
            CloseHandle(h);
            DeleteFileW(tmp.c_str());
            return 0;
        }
        p += done;
        left -= done;
    }
    if (!CloseHandle(h) || !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(tmp.c_str());
        return 0;
    }
    return 1;
}

int WritePrivateFileAtomic(const char *path, const void *data, size_t size) {
    return WriteFileAtomic(path, data, size);
}
