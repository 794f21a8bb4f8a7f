// Files on Windows: GetFileAttributesExA and the absolute path rule (replacement is in file_replace.cpp).
#include "files.h"

#include <windows.h>

int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return 0;
    *lastWrite = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                 info.ftLastWriteTime.dwLowDateTime;
    *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return 1;
}

bool IsLocalAbsolutePath(const char *path) {
    if (!path) return false;
    const char drive = path[0];
    const bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}
