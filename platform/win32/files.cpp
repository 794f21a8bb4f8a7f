// Files on Windows: GetFileAttributesExA and write-to-temporary-then-MoveFileExA.
#include "files.h"

#include <windows.h>

#include <string>

int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return 0;
    *lastWrite = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                 info.ftLastWriteTime.dwLowDateTime;
    *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return 1;
}

int WriteFileAtomic(const char *path, const void *data, size_t size) {
    if (!path || !*path) return 0;
    std::string tmp = std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    const char *p = static_cast<const char *>(data);
    size_t left = size;
    while (left > 0) {
        DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) {
            CloseHandle(h);
            DeleteFileA(tmp.c_str());
            return 0;
        }
        p += done;
        left -= done;
    }
    CloseHandle(h);
    if (!MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(tmp.c_str());
        return 0;
    }
    return 1;
}
