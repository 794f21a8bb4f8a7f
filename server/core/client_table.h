// The table of connected CPUs: one record per accepted connection, kept sorted so jobs are runs of neighbours.
#pragma once

#include "address_filter.h"
#include "net.h"
#include "status_record.h"

#include <cstdint>
#include <span>

// One connection: its latest record plus the bytes of a message still arriving.
struct ClientEntry {
    StatusRecord record;              // record.socket is the connection; hasData after a valid message
    uint64_t acceptSeq;               // order of acceptance: larger is newer
    uint32_t fill;                    // bytes of pending[] received so far
    uint8_t pending[kMessageLength];  // reassembly of a message that arrives in pieces
    // Instants of the table's monotonic clock (ns), never the plug-in's.
    uint64_t acceptedAt;    // the connection was accepted
    uint64_t receivedAt;    // the latest valid message was stored (0: none yet)
    uint64_t partialSince;  // the first bytes of pending[] came, while fill > 0
    uint8_t stalledSeen;    // the stall rule held at the last CheckClientTimes
    uint32_t peerAddr;      // the peer's IPv4 address, network byte order (0 when not known)
};

// How long the server waits on a peer. A vanished peer's connection fails
// after keepAliveIdle + keepAliveInterval x keepAliveProbes seconds without
// an answer; a connection that has not completed a valid message
// messageWaitSeconds after it was accepted, or has held part of one that
// long, is closed.
struct PeerTimeouts {
    uint32_t keepAliveIdleSeconds = 60;
    uint32_t keepAliveIntervalSeconds = 10;
    uint32_t keepAliveProbes = 3;
    uint32_t messageWaitSeconds = 60;
};
// The timeouts in force: the defaults, or every wait shortened to the tests'
// seconds (1..60), probes every sixth of it.
PeerTimeouts PeerTimeoutsFor(uint32_t testSeconds);

// Status connections the server closed at once, or to make room, by reason
// (pellick_connections_refused_total{reason}).
struct ConnectionRefusals {
    uint64_t perAddress;   // its peer already held maxPerAddress connections
    uint64_t network;      // its peer lies outside the allowed networks
    uint64_t descriptors;  // silent, closed oldest first to make room while descriptors ran short
};

// Where the core keeps its clients: stable slots (an entry stays in its
// slot while its connection lives), the order as a balanced tree of slot
// numbers over compact per-slot keys (each job's identity held once), and a
// map from connection to slot. Placing, moving and removing a client costs
// O(log n); nothing shifts the whole table.
struct ClientIndex;

// A table starts zeroed and is filled through the calls below; its entries
// are read in order with ClientAt. A table can also be built by hand for
// reading only (report tests, benchmarks): index null, entries[0..count) in
// the order given; the calls that change a table leave such a table alone.
struct ClientTable {
    uint32_t count;     // clients in the table
    uint32_t capacity;  // slots held (grown geometrically), released by ReleaseClients
    ClientEntry *entries;  // a table built by hand only; null in one the core keeps
    uint64_t nextSeq;
    uint64_t messagesAccepted;  // whole messages with a valid signature
    uint64_t messagesRejected;  // whole messages with a wrong signature
    uint64_t recordsImplausible;  // of the messages stored, those that cannot be true (IsPlausibleRecord)
    // Set where the report must be redone (a stored message, a removal);
    // FinishSocketEvents runs the one refresh a batch of events asked for.
    uint32_t refreshNeeded;
    ClientIndex *index;    // the slots and the order, released by ReleaseClients
    uint32_t errorCursor;  // the slot where the next end of a batch goes on checking for failed connections
    PeerTimeouts peer;     // set before the first accept
    // Who may connect, set before the first accept: at most maxPerAddress
    // connections from one peer address (0: no limit), and only peers the
    // filter allows (by default any).
    uint32_t maxPerAddress;
    AddressFilter networks;
    ConnectionRefusals refused;
    uint64_t (*clock)();   // monotonic ns; null is the system's (tests inject one)
};

// The client at position i (i < count) of the table's order. Reading the
// whole table in turn costs O(count), plus one O(count) pass after the order
// changed.
const ClientEntry &ClientAt(const ClientTable &table, uint32_t i);

// The table's monotonic clock now, in nanoseconds.
uint64_t ClientClockNow(const ClientTable &table);

// A CPU is stalled when it has reported before and has sent nothing for
// longer than both stallSeconds and 3 x its own recent pass time, measured
// from the receipt of its last message. stallSeconds 0: never.
bool IsStalled(const ClientEntry &entry, uint64_t nowNs, uint32_t stallSeconds);

// The platform side of the server: what the core asks of the window or event loop.
struct ServerHost {
    void *context;
    // Ask for read and close notifications on a newly accepted connection.
    void (*watchClient)(void *context, NetSocket s);
    // Run the front end's refresh: RefreshStatus, then the dashboard's
    // snapshot and the window or terminal from the one report it built.
    // Called by FinishSocketEvents, once per batch of events that changed the table.
    void (*refresh)(void *context);
    // A CPU has just become stalled (CheckClientTimes saw the rule start to
    // hold); the refresh that follows shows it. May be null.
    void (*cpuStalled)(void *context, NetSocket s);
};

// What a socket is ready for, as the front end's notification says it.
enum class SocketEvent {
    Read,     // bytes to read on a client connection
    Accept,   // a connection waits on the listener
    Close,    // the peer closed (or the connection failed)
    Recheck,  // anything else: check the whole table
};

// The one entry of socket readiness into the core: dispatches on the event
// (read, accept, close) and then prunes what the event could have changed
// (the connection's pending error, a duplicate beside its record); Recheck
// prunes the whole table. A close first reads what the peer sent before
// closing, so its last messages still count, and removes the client only when
// a receive confirms it (0, or an error other than would-block): a close
// notification still queued for a socket handle that was closed and handed
// to a newer connection finds that connection open and leaves it. The report is not redone here:
// the event only marks it needed.
void ServerSocketEvent(ClientTable &table, const ServerHost &host, NetSocket s, SocketEvent event);
// Ends a batch of socket events (the platform calls it once the events ready
// so far are handled): prunes, then refreshes once if any event of the batch
// asked for it. The report then shows what a refresh after every single
// message would have ended with. 1 when it refreshed.
// The prune drops duplicates beside every record placed since the last end
// of a batch (the only places one can be), and failed connections among the
// next kErrorChecksPerBatch slots in turn: a failed connection is also
// reported by its own notification, so this is a safety net, and querying
// every one of thousands of connections would cost more than the batch.
int FinishSocketEvents(ClientTable &table, const ServerHost &host);
inline constexpr uint32_t kErrorChecksPerBatch = 512;
// The last records of the clients with data removed since the last end of a
// batch, in removal order: a render node's last message and its close come
// together, so the refresh that ends the batch is the only one that could
// see that message. The report shows only connected clients; what keeps
// state per session (the run history) reads these too. Valid until the
// table changes; emptied once the batch's refresh has run.
std::span<const StatusRecord> DepartedClients(const ClientTable &table);

// The once-a-second check, so silence is noticed without any event: closes
// connections that waited too long for a whole message (PeerTimeouts), and
// marks a refresh needed when a CPU became stalled since the last check,
// telling host.cpuStalled of each that did (once per stall: not again until
// it has reported and gone silent anew). FinishSocketEvents then runs the refresh.
void CheckClientTimes(ClientTable &table, const ServerHost &host, uint32_t stallSeconds);

// What one accept did.
enum class AcceptOutcome {
    Accepted,       // a new client
    Refused,        // a connection closed at once: outside table.networks, or past maxPerAddress
    NoneWaiting,    // no connection (none pending, or the accept failed)
    NoDescriptors,  // no connection: the accept failed for want of descriptors or buffers
    NoMemory,       // a connection closed at once: no memory to keep it
};
// Accepts one pending connection. A peer outside table.networks, or one
// that holds table.maxPerAddress connections already, has its connection
// closed at once and counted in table.refused (a refresh marked needed, so
// the counters show). Otherwise the record is added (no data yet; those
// follow the records with data, in order of acceptance); the connection
// gets TCP keepalive as table.peer says.
AcceptOutcome AcceptClient(ClientTable &table, const ServerHost &host, NetSocket listener);
// The accept event (SocketEvent::Accept) with what it did: AcceptClient,
// then the prune of the new connection.
AcceptOutcome ServerAccept(ClientTable &table, const ServerHost &host, NetSocket listener);
// The platform's word that descriptors are short (the next connection would
// take one the server keeps spare, or an accept failed for want of them):
// closes the oldest silent connection, one with no complete valid message
// yet, and counts it in table.refused.descriptors. What such a connection
// sent already is read first, so a plug-in whose first message waits unread
// reports instead, and the next oldest is looked at. A CPU that has reported
// is never closed here. 1 when a connection went (one was closed, or was
// found closed by its peer), 0 when none is silent.
int MakeRoomForClient(ClientTable &table, const ServerHost &host);
// One receive from a non-blocking connection. Bytes are gathered per client
// until a whole message is in; each whole message with a valid signature
// replaces the record, then the record is re-placed in order and a refresh
// marked needed. A receive of 0 (peer closed) removes the client.
void ReadClient(ClientTable &table, const ServerHost &host, NetSocket s);
// Closes the connection, takes its record out of the order and marks a
// refresh needed. Unknown sockets are ignored.
void RemoveClient(ClientTable &table, const ServerHost &host, NetSocket s);
// Drops connections with a pending socket error, and of two connections
// reporting the same CPU of the same job the older one. Scans the whole table.
void PruneClients(ClientTable &table, const ServerHost &host);
// Puts a table built by hand in order (a stable sort); a table the core
// keeps is always in order.
void SortClients(ClientTable &table);
// Records with data first, then by job identity, then by cpuIndex: <0, 0, >0.
// The table orders records that compare equal by acceptance, older first.
int CompareClients(const ClientEntry &a, const ClientEntry &b);
// Closes every connection, empties the table and frees its memory.
void ReleaseClients(ClientTable &table);
