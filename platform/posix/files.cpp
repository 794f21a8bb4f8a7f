// Files on POSIX: stat() and write-to-temporary-then-rename().
#include "files.h"

#include "clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size) {
    struct stat st{};
    if (!path || stat(path, &st) != 0) return 0;
    *lastWrite = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
                 static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    *size = static_cast<uint64_t>(st.st_size);
    return 1;
}

int WriteFileAtomic(const char *path, const void *data, size_t size) {
    if (!path || !*path) return 0;
    std::string tmp = std::string(path) + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const char *p = static_cast<const char *>(data);
    size_t left = size;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            unlink(tmp.c_str());
            return 0;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}
