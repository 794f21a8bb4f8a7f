// Sockets on POSIX: BSD sockets with a bounded non-blocking connect.
#include "net.h"
#include "net_resolve_raw.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int Fd(NetSocket s) { return static_cast<int>(s); }

NetSocket PosixOpenTcp() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kNoNetSocket : fd;
}

int PosixConnect(NetSocket s, uint32_t addr, uint16_t port, int timeoutMs) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    int fd = Fd(s);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return 0;
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        do rc = poll(&p, 1, timeoutMs);
        while (rc < 0 && errno == EINTR);
        if (rc != 1) return 0;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return 0;
        rc = 0;
    }
    if (rc != 0) return 0;
    return fcntl(fd, F_SETFL, flags) == 0 ? 1 : 0;
}

long PosixSend(NetSocket s, const void *data, size_t size) {
    ssize_t n;
    do n = send(Fd(s), data, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? kNetWouldBlock : kNetError;
    return static_cast<long>(n);
}

long PosixRecv(NetSocket s, void *data, size_t size) {
    ssize_t n;
    do n = recv(Fd(s), data, size, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? kNetWouldBlock : kNetError;
    return static_cast<long>(n);
}

NetSocket PosixAccept(NetSocket listener, NetPeer *peer) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    int fd;
    do fd = accept4(Fd(listener), reinterpret_cast<sockaddr *>(&from), &length, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (peer) peer->noDescriptors = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        return kNoNetSocket;
    }
    if (peer && from.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        peer->addrNetOrder = reinterpret_cast<const sockaddr_in *>(&from)->sin_addr.s_addr;
        peer->ipv4 = true;
    }
    return fd;
}

void PosixClose(NetSocket s) {
    if (s >= 0) close(Fd(s));
}

int PosixPendingError(NetSocket s, int *error) {
    socklen_t len = sizeof *error;
    return getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, error, &len) == 0;
}

}  // namespace

const NetCalls kDefaultNetCalls = {PosixOpenTcp, PosixConnect, PosixSend, PosixRecv, PosixAccept, PosixClose,
                                   PosixPendingError};
NetCalls netCalls = kDefaultNetCalls;

int NetStartup() { return 1; }
void NetCleanup() {}

int NetParseDottedIPv4(const char *text, uint32_t *addr) {
    // inet_aton reads what Windows' inet_addr reads: "127.1", octal "010", hex "0x7f".
    in_addr a{};
    if (inet_aton(text, &a) == 0) return 0;
    *addr = a.s_addr;
    return 1;
}

int NetLookUpIPv4(const char *host, uint32_t *addr) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return 0;
    *addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 1;
}

NetSocket NetListen(uint16_t port, int backlog, bool /*exclusive*/) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kNoNetSocket;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return kNoNetSocket;
    }
    return fd;
}

uint16_t NetLocalPort(NetSocket s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int NetSetNonBlocking(NetSocket s) {
    int flags = fcntl(Fd(s), F_GETFL);
    return flags >= 0 && fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

int NetSetKeepAlive(NetSocket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t probes) {
    const int fd = Fd(s);
    const auto set = [fd](int level, int name, unsigned value) {
        const int v = static_cast<int>(std::min(value, 0x7fffffffu));
        return setsockopt(fd, level, name, &v, sizeof v) == 0;
    };
    const unsigned giveUpMs = (idleSeconds + intervalSeconds * probes) * 1000u;
    bool ok = set(SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = set(IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPCNT, probes) && ok;
    ok = set(IPPROTO_TCP, TCP_USER_TIMEOUT, giveUpMs) && ok;
    return ok ? 1 : 0;
}

bool NetKeepAliveOn(NetSocket s) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, &len) == 0 && on != 0;
}
