// TCP/IPv4 sockets behind a replaceable call table, so tests can inject short writes, resets and failures.
#pragma once

#include <cstddef>
#include <cstdint>

using NetSocket = int64_t;  // SOCKET on Windows, a descriptor on POSIX
inline constexpr NetSocket kNoNetSocket = -1;

// Results of NetSend/NetRecv beside byte counts.
inline constexpr long kNetError = -1;
inline constexpr long kNetWouldBlock = -2;

// What an accept learnt beside the new connection (NetAcceptFrom).
struct NetPeer {
    uint32_t addrNetOrder = 0;   // the peer's IPv4 address, network byte order (0 unless ipv4)
    bool ipv4 = false;           // the peer's address is known and IPv4
    // No connection: the accept failed for want of descriptors or buffers
    // (EMFILE, ENFILE, ENOBUFS, ENOMEM; WSAEMFILE, WSAENOBUFS), not for want of one waiting.
    bool noDescriptors = false;
};

// The calls whose failures tests must reach. Every Net* function below goes
// through this table; tests swap entries and restore them afterwards.
struct NetCalls {
    NetSocket (*openTcp)();
    // Connects to an IPv4 address (network byte order) and port, giving up
    // after timeoutMs where the platform allows it. 1 on success.
    int (*connect)(NetSocket s, uint32_t addrNetOrder, uint16_t port, int timeoutMs);
    // Bytes sent, or kNetError / kNetWouldBlock. Never raises SIGPIPE.
    long (*send)(NetSocket s, const void *data, size_t size);
    // Bytes read, 0 when the peer closed, or kNetError / kNetWouldBlock.
    long (*recv)(NetSocket s, void *data, size_t size);
    // A pending connection, or kNoNetSocket. peer (may be null) gets the
    // peer's address, or why none was taken.
    NetSocket (*accept)(NetSocket listener, NetPeer *peer);
    void (*close)(NetSocket s);
    // The socket's pending error (SO_ERROR) into *error; 1 when the query worked.
    int (*pendingError)(NetSocket s, int *error);
};
extern NetCalls netCalls;
extern const NetCalls kDefaultNetCalls;

int NetStartup();   // WSAStartup 2.2 on Windows; 1 on success
void NetCleanup();

inline NetSocket NetOpenTcp() { return netCalls.openTcp(); }
inline int NetConnect(NetSocket s, uint32_t addr, uint16_t port, int timeoutMs) {
    return netCalls.connect(s, addr, port, timeoutMs);
}
inline long NetSend(NetSocket s, const void *d, size_t n) { return netCalls.send(s, d, n); }
inline long NetRecv(NetSocket s, void *d, size_t n) { return netCalls.recv(s, d, n); }
inline NetSocket NetAccept(NetSocket l) { return netCalls.accept(l, nullptr); }
// The same, with what the accept learnt in *peer (reset first).
inline NetSocket NetAcceptFrom(NetSocket l, NetPeer *peer) {
    *peer = NetPeer{};
    return netCalls.accept(l, peer);
}
inline void NetClose(NetSocket s) { netCalls.close(s); }
inline int NetPendingError(NetSocket s, int *error) { return netCalls.pendingError(s, error); }

// Resolves a server name to an IPv4 address in network byte order. A name
// that starts with a digit is taken as a dotted address with no lookup, read
// alike on both platforms ("127.1", octal "010" and hex "0x7f" parts too); an
// empty name is the local host. 1 on success.
int NetResolveIPv4(const char *name, uint32_t *addrNetOrder);

// Listening socket on the wildcard address. exclusive: the port cannot be
// shared with another process (SO_EXCLUSIVEADDRUSE on Windows; on POSIX
// SO_REUSEADDR, which never lets two live listeners share a port).
NetSocket NetListen(uint16_t port, int backlog, bool exclusive);
// The port a socket is bound to (host order), 0 on failure.
uint16_t NetLocalPort(NetSocket s);
int NetSetNonBlocking(NetSocket s);
int NetSetKeepAlive(NetSocket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t probes);
// Whether keepalive is on for the socket (SO_KEEPALIVE).
bool NetKeepAliveOn(NetSocket s);
