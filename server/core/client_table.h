// The table of connected CPUs: one record per accepted connection, kept sorted so jobs are runs of neighbours.
#pragma once

#include "net.h"
#include "status_record.h"

#include <cstdint>

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

// Where each connection's entry sits, so a notification finds its client
// without a scan; a hint only, checked against the entry on every use.
struct ClientIndex;

struct ClientTable {
    uint32_t count;
    uint32_t capacity;
    ClientEntry *entries;  // grown geometrically, released by ReleaseClients
    uint64_t nextSeq;
    uint64_t messagesAccepted;  // whole messages with a valid signature
    uint64_t messagesRejected;  // whole messages with a wrong signature
    // Set where the report must be redone (a stored message, a removal);
    // FinishSocketEvents runs the one refresh a batch of events asked for.
    uint32_t refreshNeeded;
    ClientIndex *index;  // built as clients are looked up, released by ReleaseClients
    uint32_t errorCursor;  // where the next end of a batch goes on checking for failed connections
    PeerTimeouts peer;     // set before the first accept
    uint64_t (*clock)();   // monotonic ns; null is the system's (tests inject one)
};

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
// closing, so its last messages still count. The report is not redone here:
// the event only marks it needed.
void ServerSocketEvent(ClientTable &table, const ServerHost &host, NetSocket s, SocketEvent event);
// Ends a batch of socket events (the platform calls it once the events ready
// so far are handled): prunes, then refreshes once if any event of the batch
// asked for it. The report then shows what a refresh after every single
// message would have ended with. 1 when it refreshed.
// The prune drops duplicates anywhere in the table, and failed connections
// among the next kErrorChecksPerBatch in turn: a failed connection is also
// reported by its own notification, so this is a safety net, and querying
// every one of thousands of connections would cost more than the batch.
int FinishSocketEvents(ClientTable &table, const ServerHost &host);
inline constexpr uint32_t kErrorChecksPerBatch = 512;

// The once-a-second check, so silence is noticed without any event: closes
// connections that waited too long for a whole message (PeerTimeouts), and
// marks a refresh needed when a CPU became stalled since the last check.
// FinishSocketEvents then runs the refresh.
void CheckClientTimes(ClientTable &table, const ServerHost &host, uint32_t stallSeconds);

// Accepts one pending connection and appends its record (no data yet); the
// connection gets TCP keepalive as table.peer says.
void AcceptClient(ClientTable &table, const ServerHost &host, NetSocket listener);
// One receive from a non-blocking connection. Bytes are gathered per client
// until a whole message is in; each whole message with a valid signature
// replaces the record, then the record is re-placed in order and a refresh
// marked needed. A receive of 0 (peer closed) removes the client.
void ReadClient(ClientTable &table, const ServerHost &host, NetSocket s);
// Closes the connection, moves the last record into its place, keeps the
// order and marks a refresh needed. Unknown sockets are ignored.
void RemoveClient(ClientTable &table, const ServerHost &host, NetSocket s);
// Drops connections with a pending socket error, and of two connections
// reporting the same CPU of the same job the older one. Scans the whole table.
void PruneClients(ClientTable &table, const ServerHost &host);
void SortClients(ClientTable &table);
// Records with data first, then by job identity, then by cpuIndex: <0, 0, >0.
int CompareClients(const ClientEntry &a, const ClientEntry &b);
// Closes every connection, empties the table and frees its memory.
void ReleaseClients(ClientTable &table);
