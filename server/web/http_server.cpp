// The bounded HTTP server on Boost.Asio and Boost.Beast's request parser: one io_context on one thread.
//
// Each connection is a small state machine: waiting for a request's first
// byte (holding no buffer), reading it under the size limits, waiting for
// its handler's reply, writing, or streaming events. One sweep timer closes
// whatever passed its deadline. The connection list runs from the most
// recently idle to the longest idle, so a full server closes the longest-idle
// connection for a newcomer.
#include <utility>  // before Boost: its awaitable header needs std::exchange under C++20

#include "http_server.h"

#include "http_query.h"
#include "listen_options.h"
#include "options.h"

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr size_t kReadChunk = 4096;
// Header bytes wait in the buffer until the header is whole; body bytes go to the body at once.
constexpr size_t kBufferLimit = kHttpMaxHeader + kReadChunk;
constexpr auto kSweepInterval = 250ms;
constexpr auto kAcceptRetry = 100ms;  // after a failed accept (no descriptors left)
constexpr auto kStopGrace = 2s;       // answers already given may finish this long at a stop

// Parses requests from bytes as they arrive, within the limits and the
// framing rules of HTTP/1.1: one Host (none only in HTTP/1.0), no obs-fold,
// no expectation but 100-continue.
class RequestReader {
public:
    enum class State { NeedMore, Head, Done, Failed };

    beast::flat_buffer buffer{kBufferLimit};

    // Parses what the buffer holds. Head: the header is whole and its client
    // waits for "100 Continue" (Parse again reads the body). Failed sets
    // status (400, 413, 417, 431).
    State Parse(int &status) {
        if (!parser_) {
            parser_.emplace();
            parser_->header_limit(static_cast<uint32_t>(kHttpMaxHeader));
            parser_->body_limit(kHttpMaxBody);
            parser_->eager(false);  // stop after the header, to judge it before the body
            headerBytes_ = 0;
            lastHeaderByte_ = 0;
            expectsContinue_ = false;
        }
        while (buffer.size() > 0 && !parser_->is_done()) {
            const bool inHeader = !parser_->is_header_done();
            // The header limit counts every byte up to the empty line, the request line's included.
            const size_t allowance = kHttpMaxHeader - headerBytes_;
            const size_t offered = inHeader ? std::min(buffer.size(), allowance) : buffer.size();
            beast::error_code ec;
            const auto data = buffer.data();
            const size_t used = parser_->put(asio::buffer(data.data(), offered), ec);
            if (inHeader && Folded(static_cast<const char *>(data.data()), used)) {
                status = 400;
                return State::Failed;
            }
            if (inHeader) headerBytes_ += used;
            buffer.consume(used);
            if (ec == bhttp::error::need_more) {
                if (inHeader && !parser_->is_header_done() && offered == allowance) {
                    status = 431;  // the whole allowance came and the header did not end
                    return State::Failed;
                }
                break;
            }
            if (ec) {
                status = ec == bhttp::error::header_limit ? 431 : ec == bhttp::error::body_limit ? 413 : 400;
                return State::Failed;
            }
            if (inHeader && parser_->is_header_done()) {
                status = JudgeHeader();
                if (status != 0) return State::Failed;
                parser_->eager(true);  // body bytes go to the body as they come
                if (expectsContinue_ && !parser_->is_done()) return State::Head;
            }
            if (used == 0) break;
        }
        if (parser_->is_done()) return State::Done;
        if (buffer.size() >= kBufferLimit) {  // a chunk line that never ends
            status = 431;
            return State::Failed;
        }
        return State::NeedMore;
    }

    // The whole request just parsed, as the routes see it.
    void Fill(HttpRequest &req) const {
        const auto &msg = parser_->get();
        const std::string_view target(msg.target().data(), msg.target().size());
        const size_t mark = target.find('?');
        req.method = msg.method() == bhttp::verb::head ? std::string_view("GET")
                                                        : std::string_view(msg.method_string().data(),
                                                                           msg.method_string().size());
        req.path = target.substr(0, mark);
        req.query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
        req.headers.clear();
        for (const auto &field : msg) {
            req.headers.emplace_back(std::string_view(field.name_string().data(), field.name_string().size()),
                                     std::string_view(field.value().data(), field.value().size()));
        }
        req.body = msg.body();
    }
    bool KeepAlive() const { return parser_->get().keep_alive(); }
    bool ExpectsContinue() const { return expectsContinue_; }
    bool Head() const { return parser_->get().method() == bhttp::verb::head; }
    void Next() { parser_.reset(); }
    bool Started() const { return parser_.has_value() || buffer.size() > 0; }

private:
    // Whether the header bytes just taken hold a line that starts with a space or tab
    // (obs-fold, refused as RFC 9112 allows); header fields hold no other line feed.
    bool Folded(const char *bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (lastHeaderByte_ == '\n' && (bytes[i] == ' ' || bytes[i] == '\t')) return true;
            lastHeaderByte_ = bytes[i];
        }
        return false;
    }

    // 0 when the whole header may be served, else the status that refuses it.
    int JudgeHeader() {
        const auto &msg = parser_->get();
        const size_t hosts = msg.count(bhttp::field::host);
        if (hosts > 1 || (hosts == 0 && msg.version() >= 11)) return 400;
        for (const auto &field : msg) {
            if (field.name() != bhttp::field::expect) continue;
            if (!EqualsNoCase(std::string_view(field.value().data(), field.value().size()), "100-continue")) return 417;
            expectsContinue_ = msg.version() >= 11;  // HTTP/1.0 clients do not wait for it
        }
        return 0;
    }

    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    size_t headerBytes_ = 0;
    char lastHeaderByte_ = 0;
    bool expectsContinue_ = false;
};

}  // namespace

std::string_view HttpRequest::Header(std::string_view name) const {
    for (const auto &[key, value] : headers) {
        if (EqualsNoCase(key, name)) return value;
    }
    return {};
}

struct Connection;

struct HttpServer {
    HttpServerConfig config;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer sweep{io}, pace{io}, acceptRetry{io}, stopTimer{io};
    std::thread thread;
    uint16_t port = 0;

    // Server thread only.
    std::list<std::shared_ptr<Connection>> connections;  // the most recently idle first
    std::map<std::string, size_t> perAddress;
    size_t capacity = 0;   // connections in all
    size_t reserved = 0;   // of those, places only reserved peers take
    size_t others = 0;     // connections open from peers that are not reserved
    size_t streams = 0;
    bool stopping = false;
    std::shared_ptr<const HttpEvent> latest;
    Clock::time_point lastBroadcast{};
    bool paceArmed = false;

    void Accept();
    bool MakeRoom(bool reservedPeer);
    void Touch(Connection &c);
    void Sweep();
    void Broadcast();
    void Offer(const std::shared_ptr<const HttpEvent> &event);
    void Forget(Connection &c);
};

struct HttpReply::Slot {
    std::weak_ptr<Connection> connection;
    uint64_t request = 0;
    HttpServer *server = nullptr;
};

struct Connection : std::enable_shared_from_this<Connection> {
    enum class State { Waiting, Reading, Handling, Writing, Streaming, Closed };

    HttpServer &srv;
    tcp::socket socket;
    std::string address;
    bool reservedPeer = false;  // may take the reserved places
    std::list<std::shared_ptr<Connection>>::iterator self;
    State state = State::Waiting;
    Clock::time_point deadline;
    RequestReader reader;
    HttpRequest request;
    uint64_t requestSerial = 0;
    bool keepAlive = false;

    // The write in progress: a head and a body (owned or shared).
    std::string head, body;
    std::shared_ptr<const std::string> sharedBody;
    std::shared_ptr<const HttpEvent> sending;
    std::string_view pendingHead, pendingBody;
    bool writing = false, closeAfterWrite = false, streamAfterWrite = false;

    // Streams: what was sent last, what waits, and how many bytes the client is behind.
    std::shared_ptr<const HttpEvent> sentEvent, queued;
    size_t owed = 0;
    Clock::time_point lastWrite;

    Connection(HttpServer &server, tcp::socket s, std::string addr, bool reserved)
        : srv(server), socket(std::move(s)), address(std::move(addr)), reservedPeer(reserved) {}

    // No request, or one not yet whole: its place may go to a newcomer.
    bool Idle() const { return state == State::Waiting || state == State::Reading; }

    void WaitForRequest(std::chrono::seconds idle) {
        state = State::Waiting;
        srv.Touch(*this);
        deadline = Clock::now() + idle;
        if (reader.buffer.size() > 0) {  // the next request came with the last one
            StartReading();
            return;
        }
        reader.buffer.shrink_to_fit();  // an idle connection holds no buffer
        socket.async_wait(tcp::socket::wait_read, [c = shared_from_this()](const boost::system::error_code &ec) {
            if (ec || c->state != State::Waiting) {
                if (c->state == State::Waiting) c->Close();
                return;
            }
            c->StartReading();
        });
    }

    void StartReading() {
        state = State::Reading;
        deadline = Clock::now() + kHttpRequestTimeout;  // the whole request from its first byte
        ParseOrRead();
    }

    void ParseOrRead() {
        int status = 0;
        switch (reader.Parse(status)) {
        case RequestReader::State::Done:
            Handle();
            return;
        case RequestReader::State::Head:
            Continue();
            return;
        case RequestReader::State::Failed:
            Refuse(status);
            return;
        case RequestReader::State::NeedMore:
            break;
        }
        const size_t room = std::min(kReadChunk, kBufferLimit - reader.buffer.size());
        socket.async_read_some(reader.buffer.prepare(room),
                               [c = shared_from_this()](const boost::system::error_code &ec, size_t n) {
                                   if (c->state != State::Reading) return;
                                   if (ec) {
                                       c->Close();
                                       return;
                                   }
                                   c->reader.buffer.commit(n);
                                   c->ParseOrRead();
                               });
    }

    void Handle() {
        reader.Fill(request);
        request.remoteAddress = address;
        request.openStreams = srv.streams;
        keepAlive = reader.KeepAlive();
        state = State::Handling;
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(srv.config.replyTimeout);
        auto slot = std::make_shared<HttpReply::Slot>();
        slot->connection = weak_from_this();
        slot->request = ++requestSerial;
        slot->server = &srv;
        srv.config.handler(request, HttpReply(std::move(slot)));
    }

    // The client waits before sending its body: the route may refuse on the
    // head alone (unread, so the connection closes); otherwise "100 Continue".
    void Continue() {
        if (srv.config.screen) {
            reader.Fill(request);
            request.remoteAddress = address;
            if (std::optional<HttpResponse> refused = srv.config.screen(request)) {
                keepAlive = false;
                Respond(std::move(*refused), reader.Head());
                return;
            }
        }
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket, asio::buffer(kContinue.data(), kContinue.size()),
                          [c = shared_from_this()](const boost::system::error_code &ec, size_t) {
                              if (c->state != State::Reading) return;
                              if (ec) {
                                  c->Close();
                                  return;
                              }
                              c->ParseOrRead();
                          });
    }

    // A request the reader refused: its status, then the connection closes.
    void Refuse(int status) {
        HttpResponse res;
        res.status = status;
        res.contentType = "text/plain";
        res.body = std::string(bhttp::obsolete_reason(static_cast<bhttp::status>(status))) + "\n";
        keepAlive = false;
        Respond(std::move(res), false);
    }

    void Respond(HttpResponse res, bool headOnly) {
        if (res.eventStream && (srv.streams >= kHttpMaxStreams || srv.stopping)) {
            Close();
            return;
        }
        const bool close = !keepAlive || res.eventStream || srv.stopping;
        head = "HTTP/1.1 " + std::to_string(res.status) + " " +
                     std::string(bhttp::obsolete_reason(static_cast<bhttp::status>(res.status))) + "\r\n";
        if (!res.contentType.empty()) head += "Content-Type: " + res.contentType + "\r\n";
        for (const auto &[name, value] : res.headers) head += name + ": " + value + "\r\n";
        sharedBody = std::move(res.sharedBody);
        body = std::move(res.body);
        const std::string &bytes = sharedBody ? *sharedBody : body;
        if (!res.eventStream) head += "Content-Length: " + std::to_string(bytes.size()) + "\r\n";
        head += close ? "Connection: close\r\n\r\n" : "\r\n";
        reader.Next();
        request = HttpRequest();
        closeAfterWrite = close && !res.eventStream;
        streamAfterWrite = res.eventStream;
        if (res.eventStream) {
            ++srv.streams;
            state = State::Streaming;
        } else {
            state = State::Writing;
        }
        Write(head, headOnly ? std::string_view() : std::string_view(bytes));
    }

    void Write(std::string_view first, std::string_view second) {
        pendingHead = first;
        pendingBody = second;
        writing = true;
        deadline = Clock::now() + kHttpWriteTimeout;
        WriteSome();
    }

    void WriteSome() {
        if (pendingHead.empty() && pendingBody.empty()) {
            writing = false;
            Written();
            return;
        }
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(pendingHead.data(), pendingHead.size()),
                                                        asio::buffer(pendingBody.data(), pendingBody.size())};
        socket.async_write_some(buffers, [c = shared_from_this()](const boost::system::error_code &ec, size_t n) {
            if (c->state == State::Closed) return;
            if (ec) {
                c->Close();
                return;
            }
            const size_t fromHead = std::min(n, c->pendingHead.size());
            c->pendingHead.remove_prefix(fromHead);
            c->pendingBody.remove_prefix(n - fromHead);
            c->owed = c->owed > n ? c->owed - n : 0;
            c->deadline = Clock::now() + kHttpWriteTimeout;  // progress
            c->lastWrite = Clock::now();
            c->WriteSome();
        });
    }

    void Written() {
        if (state == State::Streaming) {
            sending.reset();
            if (srv.stopping) {
                Close();
                return;
            }
            if (queued) {
                std::shared_ptr<const HttpEvent> next = std::move(queued);
                queued.reset();
                Send(next);
            } else if (srv.latest && sentEvent != srv.latest) {
                Send(srv.latest);
            }
            return;
        }
        sharedBody.reset();
        body.clear();
        body.shrink_to_fit();
        if (closeAfterWrite || srv.stopping) {
            boost::system::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_send, ignored);
            Close();
            return;
        }
        WaitForRequest(kHttpKeepAliveTimeout);
    }

    // Streams: an event now, or after the write in progress.
    void Offer(const std::shared_ptr<const HttpEvent> &event) {
        if (state != State::Streaming || event == sentEvent || event == queued) return;
        if (!writing) {
            Send(event);
            return;
        }
        owed += event->Bytes().size();
        if (owed > kHttpMaxStreamBacklog) {
            Close();  // a reader this far behind is dropped; its page polls or reconnects
            return;
        }
        queued = event;
    }

    void Send(const std::shared_ptr<const HttpEvent> &event) {
        sentEvent = event;
        sending = event;
        const std::string &bytes = event->Bytes();
        owed = bytes.size();
        Write(std::string_view(), bytes);
    }

    void KeepStreamAlive() {
        static const std::string kComment = ": keep-alive\n\n";
        owed = kComment.size();
        Write(std::string_view(), kComment);
    }

    void Close() {
        if (state == State::Closed) return;
        if (streamAfterWrite && srv.streams > 0 && (state == State::Streaming)) --srv.streams;
        state = State::Closed;
        boost::system::error_code ignored;
        socket.close(ignored);
        srv.Forget(*this);
    }
};

void HttpReply::operator()(HttpResponse response) const {
    if (!slot_) return;
    HttpServer *srv = slot_->server;
    asio::dispatch(srv->io, [slot = slot_, res = std::move(response)]() mutable {
        std::shared_ptr<Connection> c = slot->connection.lock();
        if (!c || c->state != Connection::State::Handling || c->requestSerial != slot->request) return;
        c->Respond(std::move(res), c->reader.Head());
    });
}

void HttpServer::Forget(Connection &c) {
    auto it = perAddress.find(c.address);
    if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
    if (!c.reservedPeer) --others;
    connections.erase(c.self);  // may drop the last owner: touch nothing of c after this
    if (stopping && connections.empty()) stopTimer.cancel();  // the last answer is out: stop now
}

void HttpServer::Touch(Connection &c) { connections.splice(connections.begin(), connections, c.self); }

// Whether a newcomer has a place, closing the longest-idle connection whose
// place it may take when all are held (streams, handlers and answers being
// written are never closed for it).
bool HttpServer::MakeRoom(bool reservedPeer) {
    const bool othersFull = !reservedPeer && others >= capacity - reserved;
    if (connections.size() < capacity && !othersFull) return true;
    for (auto it = connections.rbegin(); it != connections.rend(); ++it) {
        if (!(*it)->Idle() || (othersFull && (*it)->reservedPeer)) continue;
        const std::shared_ptr<Connection> evicted = *it;
        evicted->Close();
        return true;
    }
    return false;
}

void HttpServer::Accept() {
    acceptor.async_accept([this](const boost::system::error_code &ec, tcp::socket socket) {
        if (stopping || ec == asio::error::operation_aborted) return;
        if (ec) {  // out of descriptors, most likely: try again shortly rather than spin
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](const boost::system::error_code &e) {
                if (!e && !stopping) Accept();
            });
            return;
        }
        boost::system::error_code addrError;
        const tcp::endpoint peer = socket.remote_endpoint(addrError);
        std::string address = addrError ? std::string() : peer.address().to_string();
        const bool reservedPeer = (config.reservedPeer ? config.reservedPeer : IsLoopbackAddress)(address);
        const auto from = perAddress.find(address);
        const bool aboveCeiling = config.descriptorCeiling != 0 &&
                                  static_cast<uint64_t>(socket.native_handle()) >= config.descriptorCeiling;
        // MakeRoom last: nothing is closed for a newcomer refused anyway.
        if (addrError || aboveCeiling || (from != perAddress.end() && from->second >= kHttpMaxPerAddress) ||
            !MakeRoom(reservedPeer)) {
            boost::system::error_code ignored;
            socket.set_option(asio::socket_base::linger(true, 0), ignored);  // refused at once
            socket.close(ignored);
        } else {
            ++perAddress[address];
            if (!reservedPeer) ++others;
            auto c = std::make_shared<Connection>(*this, std::move(socket), std::move(address), reservedPeer);
            connections.push_front(c);
            c->self = connections.begin();
            c->WaitForRequest(kHttpRequestTimeout);
        }
        Accept();
    });
}

void HttpServer::Sweep() {
    const Clock::time_point now = Clock::now();
    for (auto it = connections.begin(); it != connections.end();) {
        std::shared_ptr<Connection> c = *it++;  // Close may erase c from the list
        if (c->state == Connection::State::Streaming && !c->writing) {
            if (now - c->lastWrite >= config.keepAliveInterval) c->KeepStreamAlive();
            continue;
        }
        if (now < c->deadline) continue;
        if (c->state == Connection::State::Handling) {
            c->Respond(config.lateReply, c->reader.Head());
        } else {
            c->Close();
        }
    }
    sweep.expires_after(kSweepInterval);
    sweep.async_wait([this](const boost::system::error_code &ec) {
        if (!ec && !stopping) Sweep();
    });
}

void HttpServer::Broadcast() {
    paceArmed = false;
    if (!latest || stopping) return;
    lastBroadcast = Clock::now();
    for (auto it = connections.begin(); it != connections.end();) {
        std::shared_ptr<Connection> c = *it++;
        c->Offer(latest);
    }
}

void HttpServer::Offer(const std::shared_ptr<const HttpEvent> &event) {
    latest = event;
    if (paceArmed || stopping) return;
    const Clock::time_point due = lastBroadcast + config.eventInterval;
    if (Clock::now() >= due) {
        Broadcast();
        return;
    }
    paceArmed = true;
    pace.expires_at(due);
    pace.async_wait([this](const boost::system::error_code &ec) {
        if (!ec) Broadcast();
    });
}

HttpServer *HttpServerStart(HttpServerConfig config, std::string &error) {
    auto srv = std::make_unique<HttpServer>();
    srv->config = std::move(config);
    srv->capacity = std::clamp<size_t>(srv->config.maxConnections, 1, kHttpMaxConnections);
    srv->reserved = std::min(kHttpReservedPlaces, srv->capacity / 2);
    boost::system::error_code ec;
    const tcp::endpoint endpoint(asio::ip::address_v4::any(), srv->config.port);
    srv->acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        NetListenOptions(static_cast<NetSocket>(srv->acceptor.native_handle()));
        srv->acceptor.bind(endpoint, ec);
    }
    if (!ec) srv->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on TCP port " + std::to_string(srv->config.port) + ": " + ec.message();
        return nullptr;
    }
    srv->port = srv->acceptor.local_endpoint(ec).port();
    srv->Accept();
    srv->Sweep();
    HttpServer *raw = srv.get();
    try {
        srv->thread = std::thread([raw] {
            for (;;) {
                try {
                    raw->io.run();
                    return;
                } catch (const std::exception &) {
                    // A handler ran out of memory: that connection is lost, the server goes on.
                }
            }
        });
    } catch (const std::exception &e) {
        error = std::string("cannot start the HTTP thread: ") + e.what();
        return nullptr;
    }
    return srv.release();
}

uint16_t HttpServerPort(const HttpServer &server) { return server.port; }

void HttpServerPublish(HttpServer &server, std::shared_ptr<const HttpEvent> event) {
    asio::post(server.io, [srv = &server, e = std::move(event)] { srv->Offer(e); });
}

void HttpServerStop(HttpServer *server) {
    if (!server) return;
    asio::post(server->io, [srv = server] {
        srv->stopping = true;
        boost::system::error_code ignored;
        srv->acceptor.close(ignored);
        srv->sweep.cancel();
        srv->pace.cancel();
        srv->acceptRetry.cancel();
        for (auto it = srv->connections.begin(); it != srv->connections.end();) {
            std::shared_ptr<Connection> c = *it++;
            if (c->state == Connection::State::Writing && c->writing) continue;  // its answer may finish
            c->Close();
        }
        srv->stopTimer.expires_after(kStopGrace);
        srv->stopTimer.async_wait([srv](const boost::system::error_code &) { srv->io.stop(); });
        if (srv->connections.empty()) srv->stopTimer.cancel();
    });
    if (server->thread.joinable()) server->thread.join();
    // Whatever the grace left open goes with the server.
    for (auto &c : server->connections) {
        boost::system::error_code ignored;
        c->socket.close(ignored);
    }
    server->connections.clear();
    delete server;
}

int HttpReadRequests(std::string_view bytes, size_t chunk, const std::function<void(const HttpRequest &)> &each) {
    RequestReader reader;
    HttpRequest req;
    chunk = std::max<size_t>(chunk, 1);
    for (;;) {
        int status = 0;
        switch (reader.Parse(status)) {
        case RequestReader::State::Done:
            reader.Fill(req);
            each(req);
            reader.Next();
            continue;
        case RequestReader::State::Head:
            continue;
        case RequestReader::State::Failed:
            return status;
        case RequestReader::State::NeedMore:
            break;
        }
        if (bytes.empty()) return 0;
        const size_t n = std::min({chunk, bytes.size(), kBufferLimit - reader.buffer.size()});
        auto space = reader.buffer.prepare(n);
        std::memcpy(space.data(), bytes.data(), n);
        reader.buffer.commit(n);
        bytes.remove_prefix(n);
    }
}
