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
constexpr mode_t kNewFileMode = 0644;  // a page every reader of the folder may read
constexpr mode_t kPrivateMode = 0600;

FileFault FaultOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR: return FileFault::NoFolder;
    case EISDIR: return FileFault::IsFolder;
    case EACCES:
    case EPERM: return FileFault::Denied;
    case EROFS: return FileFault::ReadOnly;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return FileFault::NoSpace;
    case ELOOP: return FileFault::LinkLoop;
    default: return FileFault::Other;
    }
}

// A link may be followed when this user or root made it: anyone else's may
// have been planted (in /tmp or a shared folder) to aim the write elsewhere.
bool TrustedLink(const struct stat &st) { return st.st_uid == geteuid() || st.st_uid == 0; }

// What a write to a path must replace.
struct Target {
    std::string path;  // the final name: links followed; need not exist yet
    bool exists = false;
    struct stat st{};  // the file there, when it exists (never a link)
};

// Follows the links at path to the final name. Each step opens the name
// itself (O_PATH | O_NOFOLLOW), so the link whose owner is checked is the one
// whose text is read, whatever is renamed in between.
FileFault FindTarget(std::string path, Target &out) {
    for (int i = 0; i < kMaxLinks; ++i) {
        const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) return FaultOf(errno);
            out.path = std::move(path);  // a new file; a missing folder shows at the temporary's creation
            return FileFault::None;
        }
        struct stat st{};
        if (fstat(fd, &st) != 0) {
            const int error = errno;
            close(fd);
            return FaultOf(error);
        }
        if (!S_ISLNK(st.st_mode)) {
            close(fd);
            if (S_ISDIR(st.st_mode)) return FileFault::IsFolder;
            out.path = std::move(path);
            out.exists = true;
            out.st = st;
            return FileFault::None;
        }
        if (!TrustedLink(st)) {
            close(fd);
            return FileFault::ForeignLink;
        }
        char text[PATH_MAX];
        const ssize_t n = readlinkat(fd, "", text, sizeof text);
        close(fd);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return FileFault::Other;
        std::string next(text, static_cast<size_t>(n));
        if (next[0] != '/') {
            const size_t slash = path.rfind('/');
            if (slash != std::string::npos) next.insert(0, path, 0, slash + 1);
        }
        path = std::move(next);
    }
    return FileFault::LinkLoop;
}

std::string FolderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file of unpredictable name in folder, created exclusively (never
// through a link planted at that name) and readable by its owner alone
// until it is complete. -1 with fault set when none can be made.
int CreateTemporary(const std::string &folder, std::string &tmp, FileFault &fault) {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        unsigned char bytes[8];
        if (!RandomBytes(bytes, sizeof bytes)) {
            fault = FileFault::Other;
            return -1;
        }
        char name[sizeof bytes * 2 + 1];
        for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(name + 2 * i, 3, "%02x", bytes[i]);
        tmp = folder + "/.pellick-" + name + ".tmp";
        const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            fault = FaultOf(errno);
            return -1;
        }
    }
    fault = FileFault::Other;
    return -1;
}

bool WriteAll(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// privateFile: always 0600; otherwise the replaced file's mode (new: 0644).
FileFault ReplaceFile(const char *path, const void *data, size_t size, bool privateFile) {
    if (!path || !*path) return FileFault::NoFolder;
    Target target;
    if (const FileFault found = FindTarget(path, target); found != FileFault::None) return found;
    std::string tmp;
    FileFault fault = FileFault::None;
    const int fd = CreateTemporary(FolderOf(target.path), tmp, fault);
    if (fd < 0) return fault;
    mode_t mode = privateFile ? kPrivateMode : kNewFileMode;
    if (target.exists && !privateFile) {
        mode = target.st.st_mode & 0777;  // set-id and sticky bits are never carried over
        // The group a 0640 page is meant for; kept where this user may give it.
        if (target.st.st_gid != getegid() && fchown(fd, static_cast<uid_t>(-1), target.st.st_gid) != 0) {
            // Not a member of that group: the file becomes this user's group's.
        }
    }
    const bool written = WriteAll(fd, data, size) && fchmod(fd, mode) == 0;
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        unlink(tmp.c_str());
        return FaultOf(error);
    }
    if (rename(tmp.c_str(), target.path.c_str()) != 0) {
        const int error = errno;
        unlink(tmp.c_str());
        return FaultOf(error);
    }
    return FileFault::None;
}

int Report(FileFault result, FileFault *fault) {
    if (fault) *fault = result;
    return result == FileFault::None ? 1 : 0;
}

}  // namespace

int WriteFileAtomic(const char *path, const void *data, size_t size, FileFault *fault) {
    return Report(ReplaceFile(path, data, size, false), fault);
}

int WritePrivateFileAtomic(const char *path, const void *data, size_t size, FileFault *fault) {
    return Report(ReplaceFile(path, data, size, true), fault);
}
