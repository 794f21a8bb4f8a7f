// Whole-file replacement on POSIX: an exclusively created temporary file of unpredictable name beside the final target, then rename().
// (Apart from files.cpp so programs that only read file attributes need no random source.)
#include "files.h"

#include "random.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinks = 40;         // as the kernel's own limit on a chain of links
constexpr int kTemporaryAttempts = 8;  // fresh names tried when one is taken

// The path a write to path must replace: symbolic links followed to the
// final name, which need not exist yet. False on a loop or an unreadable link.
bool FinalPath(std::string path, std::string &out) {
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st{};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = std::move(path);
            return true;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return false;
        std::string next(target, static_cast<size_t>(n));
        if (next[0] != '/') {
            const size_t slash = path.rfind('/');
            if (slash != std::string::npos) next.insert(0, path, 0, slash + 1);
        }
        path = std::move(next);
    }
    return false;
}

std::string FolderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int ReplaceFile(const char *path, const void *data, size_t size, mode_t mode) {
    if (!path || !*path) return 0;
    std::string target;
    if (!FinalPath(path, target)) return 0;
    const std::string folder = FolderOf(target);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < kTemporaryAttempts && fd < 0; ++attempt) {
        unsigned char bytes[8];
        if (!RandomBytes(bytes, sizeof bytes)) return 0;
        char name[sizeof bytes * 2 + 1];
        for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(name + 2 * i, 3, "%02x", bytes[i]);
        tmp = folder + "/.pellick-" + name + ".tmp";
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) return 0;
    }
    if (fd < 0) return 0;
    const char *p = static_cast<const char *>(data);
    size_t left = size;
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            unlink(tmp.c_str());
            return 0;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), target.c_str()) != 0) {
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}

}  // namespace

int WriteFileAtomic(const char *path, const void *data, size_t size) { return ReplaceFile(path, data, size, 0644); }

int WritePrivateFileAtomic(const char *path, const void *data, size_t size) {
    return ReplaceFile(path, data, size, 0600);
}
