// Fuzz target for the server's ingestion core: byte streams from several clients, accepts, reads, errors and closes in any order, with the client table's invariants checked after every step.
//
// The network is a fake netCalls table over a model of every connection: what
// its peer has queued, which bytes the server actually received, and so which
// record it must hold. Live connections are real unconnected sockets (their
// pending-error query answers 0); broken ones are numbers that are no socket,
// so that query fails as for a reset connection.
#include "client_table.h"
#include "farm_forecast.h"
#include "fuzz_support.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr NetSocket kListener = 0x3FFFFF00;
constexpr int kLiveSockets = 10;
constexpr int kDeadSockets = 3;
constexpr NetSocket kFirstDead = 0x3FFFFF10;  // far beyond any open descriptor

struct Arrival {
    enum Kind { Bytes, Closed, Error } kind = Bytes;
    std::vector<uint8_t> bytes;
};

// What the model knows of one connection.
struct Conn {
    bool open = false;          // accepted and not yet closed by the server
    bool peerClosed = false;    // the peer hung up: the server may drop it
    bool closeNotified = false; // a close notification came: the server may drop it if a receive confirms it
    bool errored = false;       // a receive for the close notification gave an error: that confirms it
    bool dead = false;          // its pending-error query fails
    uint64_t seq = 0;           // order of acceptance
    std::deque<Arrival> arrivals;
    uint32_t fill = 0;  // bytes of the message in progress
    std::array<uint8_t, kMessageLength> partial{};
    bool hasValid = false;
    std::array<uint8_t, kMessageLength> lastValid{};
};

struct Model {
    std::array<NetSocket, kLiveSockets + kDeadSockets> pool{};
    std::map<NetSocket, Conn> conns;
    std::deque<NetSocket> pendingAccepts;
    uint64_t accepted = 0, rejected = 0;
    bool releasing = false;
    uint64_t now = 0;
    NetSocket lastWatched = kNoNetSocket;
    bool stale = false;  // a message was stored or a client dropped since the last refresh
    bool makingRoom = false;   // in MakeRoomForClient: a connection without a valid message may go
    uint64_t acceptSeq = 0;
    ClientTable *table = nullptr;
    FarmForecaster *forecaster = nullptr;  // takes every record state the refreshes see
};
Model *model;

bool IsDead(NetSocket s) { return s >= kFirstDead && s < kFirstDead + kDeadSockets; }

// The server received these bytes: reassemble them as the wire defines messages.
void Deliver(Conn &c, const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        c.partial[c.fill++] = bytes[i];
        if (c.fill < kMessageLength) continue;
        c.fill = 0;
        if (std::memcmp(c.partial.data(), RecordSignature, sizeof RecordSignature) == 0) {
            c.hasValid = true;
            c.lastValid = c.partial;
            ++model->accepted;
            model->stale = true;
        } else {
            ++model->rejected;
        }
    }
}

NetSocket FakeAccept(NetSocket listener, NetPeer *) {
    FUZZ_CHECK(listener == kListener, "accept on %lld, not the listener", static_cast<long long>(listener));
    if (model->pendingAccepts.empty()) return kNoNetSocket;
    const NetSocket s = model->pendingAccepts.front();
    model->pendingAccepts.pop_front();
    Conn &c = model->conns[s];
    c = Conn{};
    c.open = true;
    c.dead = IsDead(s);
    c.seq = ++model->acceptSeq;
    return s;
}

long FakeRecv(NetSocket s, void *data, size_t size) {
    auto it = model->conns.find(s);
    FUZZ_CHECK(it != model->conns.end() && it->second.open, "recv on socket %lld the server does not hold",
               static_cast<long long>(s));
    Conn &c = it->second;
    if (c.arrivals.empty()) return kNetWouldBlock;
    Arrival &a = c.arrivals.front();
    if (a.kind == Arrival::Closed) return 0;  // stays: a closed peer keeps reading as closed
    if (a.kind == Arrival::Error) {
        c.arrivals.pop_front();
        c.errored = c.closeNotified;
        return kNetError;
    }
    const size_t n = std::min(size, a.bytes.size());
    std::memcpy(data, a.bytes.data(), n);
    Deliver(c, a.bytes.data(), n);
    a.bytes.erase(a.bytes.begin(), a.bytes.begin() + static_cast<long>(n));
    if (a.bytes.empty()) c.arrivals.pop_front();
    return static_cast<long>(n);
}

// Whether the table holds a newer connection reporting the same CPU of the same job as s.
bool SupersededInTable(NetSocket s) {
    const ClientTable &t = *model->table;
    const ClientEntry *self = nullptr;
    for (uint32_t i = 0; i < t.count; ++i)
        if (ClientAt(t, i).record.socket == s) self = &ClientAt(t, i);
    if (!self || !self->record.hasData) return false;
    for (uint32_t i = 0; i < t.count; ++i) {
        const ClientEntry &o = ClientAt(t, i);
        if (&o != self && o.record.hasData && o.acceptSeq > self->acceptSeq && CompareClients(*self, o) == 0) return true;
    }
    return false;
}

void FakeClose(NetSocket s) {
    auto it = model->conns.find(s);
    FUZZ_CHECK(it != model->conns.end() && it->second.open, "close of socket %lld the server does not hold",
               static_cast<long long>(s));
    Conn &c = it->second;
    FUZZ_CHECK(model->releasing || c.peerClosed || c.errored || c.dead || SupersededInTable(s) ||
                   (model->makingRoom && !c.hasValid),
               "socket %lld closed with no reason: its peer is alive, healthy and not superseded",
               static_cast<long long>(s));
    c.open = false;
    model->stale = true;
}

NetSocket NoOpen() { return kNoNetSocket; }
int NoConnect(NetSocket, uint32_t, uint16_t, int) { return 0; }
long NoSend(NetSocket, const void *, size_t) { return kNetError; }

// Live connections are real sockets, so their pending-error query is the real one.
int RealPendingError(NetSocket s, int *error) { return kDefaultNetCalls.pendingError(s, error); }

const NetCalls kFakeCalls = {NoOpen, NoConnect, NoSend, FakeRecv, FakeAccept, FakeClose, RealPendingError};

// The table holds exactly the open connections, each once; the order is the sort order.
void CheckTable(const ClientTable &t, const char *when) {
    FUZZ_CHECK(t.count <= t.capacity, "%s: count %u over capacity %u", when, t.count, t.capacity);
    size_t open = 0;
    for (const auto &[s, c] : model->conns) open += c.open;
    FUZZ_CHECK(t.count == open, "%s: %u records for %zu open connections", when, t.count, open);
    for (uint32_t i = 0; i < t.count; ++i) {
        const ClientEntry &e = ClientAt(t, i);
        auto it = model->conns.find(e.record.socket);
        FUZZ_CHECK(it != model->conns.end() && it->second.open, "%s: record %u has no connection (%lld)", when, i,
                   static_cast<long long>(e.record.socket));
        for (uint32_t j = 0; j < i; ++j)
            FUZZ_CHECK(ClientAt(t, j).record.socket != e.record.socket, "%s: records %u and %u share a connection", when, j, i);
        if (i + 1 < t.count) {
            FUZZ_CHECK(CompareClients(e, ClientAt(t, i + 1)) <= 0, "%s: records %u and %u out of order", when, i, i + 1);
        }
    }
}

// Every record holds what its connection's stream defines: the last whole
// valid message, nothing before one, and the bytes of the message in progress.
void CheckRecords(const ClientTable &t) {
    for (uint32_t i = 0; i < t.count; ++i) {
        const ClientEntry &e = ClientAt(t, i);
        const Conn &c = model->conns[e.record.socket];
        FUZZ_CHECK(e.record.hasData == (c.hasValid ? 1u : 0u), "record %u: hasData %u, valid message seen %d", i,
                   e.record.hasData, c.hasValid);
        std::array<uint8_t, kMessageLength> wire{};
        FUZZ_CHECK(EncodeRecord(e.record, kFieldTable, wire) == kMessageLength, "record %u does not encode", i);
        if (c.hasValid) {
            FUZZ_CHECK(wire == c.lastValid, "record %u differs from its connection's last valid message", i);
        } else {
            for (size_t b = 0; b < kMessageLength; ++b)
                FUZZ_CHECK(wire[b] == 0, "record %u without data has byte %zu set", i, b);
        }
        FUZZ_CHECK(e.fill == c.fill, "record %u: %u bytes pending, the stream says %u", i, e.fill, c.fill);
        FUZZ_CHECK(std::memcmp(e.pending, c.partial.data(), c.fill) == 0, "record %u: pending bytes differ", i);
    }
    FUZZ_CHECK(t.messagesAccepted == model->accepted && t.messagesRejected == model->rejected,
               "counters %llu/%llu, the streams say %llu/%llu", static_cast<unsigned long long>(t.messagesAccepted),
               static_cast<unsigned long long>(t.messagesRejected), static_cast<unsigned long long>(model->accepted),
               static_cast<unsigned long long>(model->rejected));
}

// After a batch the prune is done: no broken connection and no CPU of a job twice.
void CheckPruned(const ClientTable &t) {
    for (uint32_t i = 0; i < t.count; ++i) {
        const ClientEntry &e = ClientAt(t, i);
        FUZZ_CHECK(!IsDead(e.record.socket), "record %u keeps a broken connection", i);
        if (i + 1 < t.count && e.record.hasData && ClientAt(t, i + 1).record.hasData) {
            FUZZ_CHECK(CompareClients(e, ClientAt(t, i + 1)) != 0, "records %u and %u report the same CPU of one job", i, i + 1);
        }
    }
}

void Watch(void *, NetSocket s) { model->lastWatched = s; }

// Every refresh sees a sorted table, and the report built from it is sound.
void Refresh(void *) {
    const ClientTable &t = *model->table;
    CheckTable(t, "refresh");
    model->stale = false;
    StatusReport report;
    std::memset(&report.fields, 0x55, sizeof report.fields);
    BuildReport(t, model->now, {3, 4}, report);
    const StatusFields &fields = report.fields;
    const std::string &html = report.html;
    for (int f = 0; f < kFieldCount; ++f)
        FUZZ_CHECK(strnlen(fields.text[f], sizeof fields.text[f]) < sizeof fields.text[f], "field %d unterminated", f);
    FUZZ_CHECK(html.find('\0') == std::string::npos, "NUL byte in the HTML");
    size_t opens = 0, closes = 0;
    for (size_t p = html.find("<table"); p != std::string::npos; p = html.find("<table", p + 1)) ++opens;
    for (size_t p = html.find("</table>"); p != std::string::npos; p = html.find("</table>", p + 1)) ++closes;
    FUZZ_CHECK(opens == closes && opens >= 1, "%zu tables opened, %zu closed", opens, closes);
    bool anyData = false;
    for (uint32_t i = 0; i < t.count; ++i) anyData |= ClientAt(t, i).record.hasData != 0;
    FUZZ_CHECK(anyData == (html.find("No render in progress") == std::string::npos),
               "the HTML says no render in progress while %s CPU has data", anyData ? "a" : "no");
    // The forecaster takes the same records; whatever it says is ordered.
    std::vector<int32_t> cpus;
    for (uint32_t i = 0; i < t.count; ++i) {
        const StatusRecord &r = ClientAt(t, i).record;
        if (!r.hasData) continue;
        model->forecaster->Observe(r, model->now);
        cpus.push_back(r.cpuIndex);
    }
    for (uint32_t i = 0; i < t.count; ++i) {
        if (!ClientAt(t, i).record.hasData) continue;
        const auto f = model->forecaster->Forecast(JobIdentityBytes(ClientAt(t, i).record), model->now, cpus);
        if (f && f->time)
            FUZZ_CHECK(f->time->low <= f->time->completion && f->time->completion <= f->time->high &&
                           f->time->completion >= model->now,
                       "forecast out of order: %llu <= %llu <= %llu", static_cast<unsigned long long>(f->time->low),
                       static_cast<unsigned long long>(f->time->completion), static_cast<unsigned long long>(f->time->high));
    }
}

// A valid message: the signature, a job from a small set, a CPU, and a few patched bytes.
std::vector<uint8_t> MakeMessage(FuzzInput &in) {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, sizeof RecordSignature);
    const uint8_t shape = in.Byte();
    static const char *const kScenes[] = {"shotA", "shotB", "shotA "};
    std::strcpy(r.sceneName, kScenes[shape % 3]);
    std::strcpy(r.sceneFile, "/scenes/shot.scn");
    r.cpuIndex = static_cast<int32_t>((shape >> 2) % 4);
    r.sceneFileSize = (shape >> 4) & 1 ? 4096 : 1000;
    r.passesDone = in.Byte();
    r.totalPasses = in.Byte();
    r.passesPerFrame = 1 + (shape >> 5);
    r.startTime = 133000000000000000ULL;
    r.recentPassTime = static_cast<int64_t>(in.U16()) * 10000;
    r.lastPassTime = r.recentPassTime;
    r.elapsedTime = r.recentPassTime * r.passesDone;
    r.passStartTime = r.startTime + static_cast<uint64_t>(r.elapsedTime);
    std::vector<uint8_t> m(kMessageLength);
    EncodeRecord(r, kFieldTable, m);
    // Patches past the signature reach any field, including extreme times and counts.
    for (int patches = in.Byte() % 5; patches > 0; --patches) {
        const size_t at = sizeof RecordSignature + in.U16() % (kMessageLength - sizeof RecordSignature);
        m[at] = in.Byte();
    }
    return m;
}

// One of the open connections, chosen by the input; kNoNetSocket when none is open.
NetSocket PickOpen(FuzzInput &in) {
    std::vector<NetSocket> open;
    for (const auto &[s, c] : model->conns)
        if (c.open) open.push_back(s);
    if (open.empty()) return kNoNetSocket;
    return open[in.Byte() % open.size()];
}

void Queue(NetSocket s, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    model->conns[s].arrivals.push_back({Arrival::Bytes, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

// Ends a batch: pruned and, when anything changed, refreshed.
void Finish(ClientTable &t, const ServerHost &host) {
    FinishSocketEvents(t, host);
    CheckTable(t, "after a batch");
    CheckRecords(t);
    CheckPruned(t);
    FUZZ_CHECK(!model->stale && t.refreshNeeded == 0, "a batch that changed the table ended without a refresh");
}

// One event; bit 0x20 of the operation also ends the batch.
void Event(ClientTable &t, const ServerHost &host, NetSocket s, SocketEvent event, uint8_t op) {
    ServerSocketEvent(t, host, s, event);
    CheckTable(t, "after an event");
    CheckRecords(t);
    if (op & 0x20) Finish(t, host);
}

// Descriptors short: the oldest connection without a valid message goes (after what it sent
// is read), never one that has reported; none goes when every one has reported.
void MakeRoom(ClientTable &t, const ServerHost &host, uint8_t op) {
    std::vector<NetSocket> silent;  // oldest first
    size_t open = 0;
    for (const auto &[s, c] : model->conns) {
        open += c.open;
        if (c.open && !c.hasValid) silent.push_back(s);
    }
    std::sort(silent.begin(), silent.end(),
              [](NetSocket a, NetSocket b) { return model->conns[a].seq < model->conns[b].seq; });
    model->makingRoom = true;
    const int made = MakeRoomForClient(t, host);
    model->makingRoom = false;
    size_t openAfter = 0;
    for (const auto &[s, c] : model->conns) openAfter += c.open;
    FUZZ_CHECK(openAfter == open - (made ? 1 : 0), "making room closed %zu of %zu, said %d", open - openAfter, open, made);
    // Every silent connection older than the one that went has reported meanwhile.
    bool gone = false;
    for (const NetSocket s : silent) {
        const Conn &c = model->conns[s];
        if (!c.open) {
            gone = true;
            break;
        }
        FUZZ_CHECK(c.hasValid, "making room passed over silent connection %lld", static_cast<long long>(s));
    }
    FUZZ_CHECK(gone == (made != 0), "making room said %d with %zu silent connections", made, silent.size());
    CheckTable(t, "after making room");
    CheckRecords(t);
    if (op & 0x20) Finish(t, host);
}

void Setup() {
    model = new Model;
    for (int i = 0; i < kLiveSockets; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0, "no socket for the pool");
        model->pool[i] = fd;
    }
    for (int i = 0; i < kDeadSockets; ++i) model->pool[kLiveSockets + i] = kFirstDead + i;
    netCalls = kFakeCalls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (Setup(), true);
    (void)ready;
    FuzzInput in(data, size);
    ClientTable table{};
    model->conns.clear();
    model->pendingAccepts.clear();
    model->accepted = model->rejected = 0;
    model->releasing = false;
    model->stale = false;
    model->table = &table;
    FarmForecaster forecaster;
    model->forecaster = &forecaster;
    model->now = in.U64();
    const ServerHost host{nullptr, Watch, Refresh, nullptr};

    for (int steps = 0; !in.Empty() && steps < 400; ++steps) {
        const uint8_t op = in.Byte();
        switch (op % 10) {
        case 0: {  // a connection arrives (or an accept notification finds none)
            NetSocket s = model->pool[in.Byte() % model->pool.size()];
            if (model->conns[s].open || op >= 250) s = kNoNetSocket;  // a number in use is never handed out twice
            if (s != kNoNetSocket) model->pendingAccepts.push_back(s);
            model->lastWatched = kNoNetSocket;
            Event(table, host, kListener, SocketEvent::Accept, op);
            FUZZ_CHECK(model->pendingAccepts.empty(), "a pending connection was not accepted");
            if (s != kNoNetSocket) {
                FUZZ_CHECK(model->lastWatched == s, "accepted connection %lld not watched", static_cast<long long>(s));
            }
            break;
        }
        case 1: {  // raw bytes, then a read notification
            const NetSocket s = PickOpen(in);
            const size_t n = 1 + in.Byte() % 64 * (op & 0x80 ? 16 : 1);
            std::span<const uint8_t> bytes = in.Take(n);
            if (s == kNoNetSocket) break;
            Queue(s, bytes);
            Event(table, host, s, SocketEvent::Read, op);
            break;
        }
        case 2:
        case 3: {  // a valid message, possibly in two pieces, then one or two read notifications
            const NetSocket s = PickOpen(in);
            const std::vector<uint8_t> m = MakeMessage(in);
            const size_t cut = in.U16() % (kMessageLength + 1);
            if (s == kNoNetSocket) break;
            Queue(s, std::span<const uint8_t>(m).first(cut));
            Queue(s, std::span<const uint8_t>(m).subspan(cut));
            Event(table, host, s, SocketEvent::Read, op);
            if (op & 0x40) {
                const auto it = model->conns.find(s);
                if (it != model->conns.end() && it->second.open) Event(table, host, s, SocketEvent::Read, op);
            }
            break;
        }
        case 4: {  // a read notification, for a client or for a socket the table does not hold
            NetSocket s = PickOpen(in);
            if (op & 0x80) s = model->pool[in.Byte() % model->pool.size()];
            if (s == kNoNetSocket || !model->conns[s].open) {
                Event(table, host, s == kNoNetSocket ? kListener + 1 : s, SocketEvent::Read, op);
            } else {
                Event(table, host, s, SocketEvent::Read, op);
            }
            break;
        }
        case 5: {  // a close notification: after the peer hung up, or a late one for a handle now in use again
            const NetSocket s = PickOpen(in);
            if (s == kNoNetSocket) break;
            Conn &c = model->conns[s];
            if (op & 0x80) c.arrivals.push_back({Arrival::Closed, {}});
            c.peerClosed = c.peerClosed || (op & 0x80) != 0;
            c.closeNotified = true;
            c.errored = false;
            // The notification reads up to 64 times (one queued piece each): a
            // close or an error among those confirms it; bytes beyond wait
            // for the read notifications.
            size_t reads = 0;
            while (reads < c.arrivals.size() && c.arrivals[reads].kind == Arrival::Bytes) ++reads;
            const bool confirmed = reads < c.arrivals.size() && reads < 64;
            Event(table, host, s, SocketEvent::Close, op);
            Conn &after = model->conns[s];
            after.closeNotified = false;
            if (confirmed) {
                FUZZ_CHECK(!after.open, "closed connection %lld kept", static_cast<long long>(s));
            }
            break;
        }
        case 6: {  // the peer hangs up; the next read sees it
            const NetSocket s = PickOpen(in);
            if (s == kNoNetSocket) break;
            Conn &c = model->conns[s];
            c.arrivals.push_back({Arrival::Closed, {}});
            c.peerClosed = true;
            break;
        }
        case 7: {  // a receive error
            const NetSocket s = PickOpen(in);
            if (s == kNoNetSocket) break;
            model->conns[s].arrivals.push_back({Arrival::Error, {}});
            Event(table, host, s, SocketEvent::Read, op);
            break;
        }
        case 8: {  // any other notification: only the prune runs
            const NetSocket s = PickOpen(in);
            in.Byte();  // once the code; kept so the corpus reads as before
            Event(table, host, s == kNoNetSocket ? kListener : s, SocketEvent::Recheck, op);
            break;
        }
        case 9:  // the clock moves: the next refresh estimates at another instant
            if (op & 0x80) {
                MakeRoom(table, host, op);
                break;
            }
            model->now += in.U32() * 10000000ULL;
            break;
        }
    }

    Finish(table, host);
    model->releasing = true;
    ReleaseClients(table);
    for (const auto &[s, c] : model->conns)
        FUZZ_CHECK(!c.open, "connection %lld left open at release", static_cast<long long>(s));
    FUZZ_CHECK(table.count == 0 && table.index == nullptr, "table not emptied at release");
    model->table = nullptr;
    model->forecaster = nullptr;
    return 0;
}
