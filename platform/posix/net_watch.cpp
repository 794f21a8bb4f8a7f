// Close watch on POSIX: poll() without waiting, and a one-byte MSG_PEEK to tell arriving data from the peer's close.
#include "net_watch.h"

#include <cerrno>
#include <new>
#include <poll.h>
#include <sys/socket.h>

struct CloseWatch {
    int unused;
};

CloseWatch *CloseWatchCreate() { return new (std::nothrow) CloseWatch{}; }

void CloseWatchDestroy(CloseWatch *watch) { delete watch; }

int CloseWatchAttach(CloseWatch *watch, NetSocket s) { return watch && s >= 0 && NetSetNonBlocking(s); }

int CloseWatchClosed(CloseWatch *watch, NetSocket s) {
    if (!watch || s < 0) return 1;
    pollfd p{static_cast<int>(s), POLLIN, 0};
    int rc;
    do rc = poll(&p, 1, 0);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return 1;
    if (rc == 0) return 0;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return 1;
    // Readable: either bytes from the peer (the connection stays open) or its FIN.
    char byte;
    ssize_t n;
    do n = recv(static_cast<int>(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) return 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return 1;
}

void CloseWatchReset(CloseWatch *) {}
