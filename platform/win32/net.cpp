// Sockets on Windows: Winsock 2.2.
#include "net.h"
#include "net_resolve_raw.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace {

SOCKET Sock(NetSocket s) { return static_cast<SOCKET>(s); }

NetSocket WinOpenTcp() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kNoNetSocket : static_cast<NetSocket>(s);
}

// Blocking connect: the Windows stack gives up on its own after about 21 s.
int WinConnect(NetSocket s, uint32_t addr, uint16_t port, int /*timeoutMs*/) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return connect(Sock(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

long WinSend(NetSocket s, const void *data, size_t size) {
    int n = send(Sock(s), static_cast<const char *>(data), static_cast<int>(size), 0);
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
    return n;
}

long WinRecv(NetSocket s, void *data, size_t size) {
    int n = recv(Sock(s), static_cast<char *>(data), static_cast<int>(size), 0);
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
    return n;
}

NetSocket WinAccept(NetSocket listener, NetPeer *peer) {
    sockaddr_storage from{};
    int length = sizeof from;
    SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr *>(&from), &length);
    if (s == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        if (peer) peer->noDescriptors = error == WSAEMFILE || error == WSAENOBUFS;
        return kNoNetSocket;
    }
    if (peer && from.ss_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        peer->addrNetOrder = reinterpret_cast<const sockaddr_in *>(&from)->sin_addr.s_addr;
        peer->ipv4 = true;
    }
    return static_cast<NetSocket>(s);
}

void WinClose(NetSocket s) {
    if (s != kNoNetSocket) closesocket(Sock(s));
}

int WinPendingError(NetSocket s, int *error) {
    int len = sizeof *error;
    return getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(error), &len) == 0;
}

}  // namespace

const NetCalls kDefaultNetCalls = {WinOpenTcp, WinConnect, WinSend, WinRecv, WinAccept, WinClose, WinPendingError};
NetCalls netCalls = kDefaultNetCalls;

int NetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void NetCleanup() { WSACleanup(); }

int NetParseDottedIPv4(const char *text, uint32_t *addr) {
    const unsigned long a = inet_addr(text);
    if (a == INADDR_NONE) return 0;
    *addr = a;
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

NetSocket NetListen(uint16_t port, int backlog, bool exclusive) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoNetSocket;
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, exclusive ? SO_EXCLUSIVEADDRUSE : SO_REUSEADDR,
               reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        return kNoNetSocket;
    }
    return static_cast<NetSocket>(s);
}

uint16_t NetLocalPort(NetSocket s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(Sock(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int NetSetNonBlocking(NetSocket s) {
    u_long on = 1;
    return ioctlsocket(Sock(s), FIONBIO, &on) == 0;
}

int NetSetKeepAlive(NetSocket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t probes) {
    BOOL on = TRUE;
    int ok = setsockopt(Sock(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on) == 0;
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = idleSeconds * 1000u;
    values.keepaliveinterval = intervalSeconds * 1000u;
    DWORD returned = 0;
    ok &= WSAIoctl(Sock(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0;
    // The per-socket probe count of newer Windows; older ones send ten.
    constexpr int kTcpKeepCount = 16;
    const DWORD count = probes;
    ok &= setsockopt(Sock(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char *>(&count), sizeof count) == 0;
    return ok;
}

bool NetKeepAliveOn(NetSocket s) {
    BOOL on = FALSE;
    int len = sizeof on;
    return getsockopt(Sock(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&on), &len) == 0 && on;
}
