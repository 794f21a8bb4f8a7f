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

FileFault FaultOf(DWORD error, const std::wstring &target) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return FileFault::NoFolder;
    case ERROR_ACCESS_DENIED: {
        // A folder at the target's name refuses the rename as access denied.
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FileFault::IsFolder;
        return FileFault::Denied;
    }
    case ERROR_WRITE_PROTECT: return FileFault::ReadOnly;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return FileFault::NoSpace;
    case ERROR_CANT_RESOLVE_FILENAME: return FileFault::LinkLoop;
    default: return FileFault::Other;
    }
}

FileFault ReplaceFile(const char *path, const void *data, size_t size) {
    if (!path || !*path) return FileFault::NoFolder;
    std::wstring target;
    if (!LongPath(path, target)) return FileFault::NoFolder;
    FollowLink(target);
    const size_t slash = target.rfind(L'\\');
    if (slash == std::wstring::npos) return FileFault::NoFolder;
    std::wstring tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kTemporaryAttempts && h == INVALID_HANDLE_VALUE; ++attempt) {
        unsigned char bytes[8];
        if (!RandomBytes(bytes, sizeof bytes)) return FileFault::Other;
        wchar_t name[sizeof bytes * 2 + 1];
        for (size_t i = 0; i < sizeof bytes; ++i) std::swprintf(name + 2 * i, 3, L"%02x", bytes[i]);
        tmp = target.substr(0, slash) + L"\\.pellick-" + name + L".tmp";
        h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return FaultOf(GetLastError(), target);
    }
    if (h == INVALID_HANDLE_VALUE) return FileFault::Other;
    const char *p = static_cast<const char *>(data);
    size_t left = size;
    while (left > 0) {
        DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) {
            const DWORD error = done == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : GetLastError();
            CloseHandle(h);
            DeleteFileW(tmp.c_str());
            return FaultOf(error, target);
        }
        p += done;
        left -= done;
    }
    if (!CloseHandle(h) || !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(tmp.c_str());
        return FaultOf(error, target);
    }
    return FileFault::None;
}

int Report(FileFault result, FileFault *fault) {
    if (fault) *fault = result;
    return result == FileFault::None ? 1 : 0;
}

}  // namespace

int WriteFileAtomic(const char *path, const void *data, size_t size, FileFault *fault) {
    return Report(ReplaceFile(path, data, size), fault);
}

int WritePrivateFileAtomic(const char *path, const void *data, size_t size, FileFault *fault) {
    return WriteFileAtomic(path, data, size, fault);
}
