// The data folder on POSIX: the XDG data home, folders made with mode 0700 and private files 0600.
#include "data_folder.h"

#include "product_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;

std::string DataRoot() {
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg;  // empty or relative: ignored, as XDG says
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/share";
    const passwd *pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return std::string(pw->pw_dir) + "/.local/share";
    return std::string();
}

}  // namespace

std::string HistoryDatabasePath() {
    const std::string root = DataRoot();
    return root.empty() ? root : root + '/' + ProductFolder('/') + "/history.sqlite3";
}

int MakeParentFolders(const std::string &path) {
    const size_t end = path.rfind('/');
    if (end == std::string::npos || end == 0) return 1;
    const std::string folder = path.substr(0, end);
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), kPrivateFolderMode) == 0) {
            chmod(part.c_str(), kPrivateFolderMode);  // the umask may have taken the owner's bits
        } else if (errno != EEXIST) {
            return 0;
        }
        if (slash == std::string::npos) break;
    }
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    if ((st.st_mode & 077) != 0 && st.st_uid == geteuid()) chmod(folder.c_str(), st.st_mode & 07700);
    return 1;
}

int KeepFilePrivate(const std::string &path, bool create) {
    // Never through a link: a planted one could aim the chmod at another file.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0),
                        kPrivateFileMode);
    if (fd < 0) return !create && errno == ENOENT ? 1 : 0;
    struct stat st{};
    bool tight = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
    if (tight && (st.st_mode & 077) != 0) tight = fchmod(fd, st.st_mode & 0700) == 0;
    close(fd);
    return tight ? 1 : 0;
}

int MoveFileAside(const std::string &from, const std::string &to) {
    if (PathExists(to)) return 0;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 1 : 0;
}

bool PathExists(const std::string &path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}
