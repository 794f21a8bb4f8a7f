// Files on POSIX: stat() and the absolute path rule (replacement is in file_replace.cpp).
#include "files.h"

#include "clock.h"

#include <sys/stat.h>

int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size) {
    struct stat st{};
    if (!path || stat(path, &st) != 0) return 0;
    *lastWrite = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
                 static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    *size = static_cast<uint64_t>(st.st_size);
    return 1;
}

bool IsLocalAbsolutePath(const char *path) { return path && path[0] == '/'; }
