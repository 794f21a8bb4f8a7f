// A small bounded HTTP/1.1 server on one thread: request limits, timeouts, connection caps, live event streams.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Limits of the server; every connection's memory and time is bounded by them.
inline constexpr size_t kHttpMaxHeader = 8 * 1024;  // request line and headers up to their empty line (431 past it)
inline constexpr size_t kHttpMaxBody = 64 * 1024;   // request body (413 past it)
inline constexpr std::chrono::seconds kHttpRequestTimeout{10};    // silence of a new connection, and a request from its first byte
inline constexpr std::chrono::seconds kHttpKeepAliveTimeout{30};  // an idle kept-alive connection
inline constexpr std::chrono::seconds kHttpWriteTimeout{30};      // an answer's write making no progress
inline constexpr size_t kHttpMaxPerAddress = 32;                  // open connections from one client address
inline constexpr size_t kHttpMaxConnections = 4096;               // open connections in all, whatever the config asks
inline constexpr size_t kHttpReservedPlaces = 8;                  // of those, kept for loopback peers
inline constexpr size_t kHttpMaxStreams = 16;                     // live event streams
inline constexpr size_t kHttpMaxStreamBacklog = 1024 * 1024;      // a stream owing more is dropped

// A request as the routes see it; the views stay valid until the reply is given.
struct HttpRequest {
    std::string_view method;  // HEAD requests arrive as "GET"; the server drops the body
    std::string_view path;    // the target before '?'
    std::string_view query;   // after '?', still percent-encoded
    std::vector<std::pair<std::string_view, std::string_view>> headers;
    std::string_view body;
    std::string remoteAddress;  // dotted IPv4
    size_t openStreams = 0;     // live event streams at this moment

    // The first header of that name (ASCII case ignored), or empty.
    std::string_view Header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Sent instead of body when set: one copy shared by every client.
    std::shared_ptr<const std::string> sharedBody;
    // The connection becomes a live event stream: body is sent first, then
    // every published event; it ends when the client or the server closes.
    bool eventStream = false;
};

// Gives a request its response, once, from any thread.
class HttpReply {
public:
    struct Slot;
    explicit HttpReply(std::shared_ptr<Slot> slot) : slot_(std::move(slot)) {}
    void operator()(HttpResponse response) const;

private:
    std::shared_ptr<Slot> slot_;
};

using HttpHandler = std::function<void(const HttpRequest &, HttpReply)>;

// An event for the live streams, made on the HTTP thread only when a stream
// needs it and then shared by every stream.
class HttpEvent {
public:
    virtual ~HttpEvent() = default;
    virtual const std::string &Bytes() const = 0;
};

struct HttpServerConfig {
    uint16_t port = 0;  // 0: any free port
    // Open connections in all (at most kHttpMaxConnections). When all are
    // held, a newcomer takes the place of the longest-idle connection (no
    // request, or one not yet complete); the last kHttpReservedPlaces are
    // only for reserved peers.
    size_t maxConnections = 256;
    // Which peers may take the reserved places; nullptr: loopback ones.
    bool (*reservedPeer)(std::string_view address) = nullptr;
    // POSIX: a connection given a descriptor numbered at or above this is
    // closed at once, so the descriptors kept for the rest of the program stay
    // free (0: no such rule).
    uint64_t descriptorCeiling = 0;
    // Events go out at most this often; the newest one wins.
    std::chrono::milliseconds eventInterval{250};
    // A stream that sent nothing this long gets a comment line.
    std::chrono::milliseconds keepAliveInterval{15000};
    // A handler that has not replied by then gets lateReply sent for it.
    std::chrono::milliseconds replyTimeout{5000};
    HttpResponse lateReply;
    HttpHandler handler;  // runs on the server's thread; must not block
    // Sees the head of a request whose client waits for "100 Continue"
    // before sending its body: an answer refuses it unread (the connection
    // then closes); none lets the body come. Empty: every body is welcome.
    std::function<std::optional<HttpResponse>(const HttpRequest &)> screen;
};

struct HttpServer;

// Binds the port on every IPv4 address and starts the thread; nullptr with
// error set when the port cannot be bound.
HttpServer *HttpServerStart(HttpServerConfig config, std::string &error);
uint16_t HttpServerPort(const HttpServer &server);
// From any thread: the newest event for every live stream.
void HttpServerPublish(HttpServer &server, std::shared_ptr<const HttpEvent> event);
// Refuses new connections, lets answers already given finish (briefly),
// closes the rest and joins the thread. Accepts nullptr.
void HttpServerStop(HttpServer *server);

// Runs bytes through the request reader every connection uses, in chunks of
// chunk bytes: each whole request goes to each; returns 0 when the bytes end
// (mid-request or not), or the status a connection would answer before
// closing (400, 413, 417, 431) at the first bad request. A request waiting
// for "100 Continue" reads on as if it had been sent.
int HttpReadRequests(std::string_view bytes, size_t chunk, const std::function<void(const HttpRequest &)> &each);
