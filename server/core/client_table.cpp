// The client table: accepts connections, reassembles and stores their status messages, drops dead and duplicate ones.
#include "client_table.h"

#include "clock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

struct ClientIndex {
    std::unordered_map<NetSocket, uint32_t> position;
};

namespace {

// One receive takes up to this many bytes, so several messages that arrived
// together are handled in one notification.
constexpr size_t kReadChunk = 16 * 1024;

// A peer that has closed is drained at most this far before it is dropped.
constexpr int kMaxDrainReads = 64;

// Where a refresh used to run after every message: the batch's end runs it.
void MarkRefresh(ClientTable &table) { table.refreshNeeded = 1; }

// Notes that the entry at position i holds its connection. Without memory
// for the index the table goes on without it (lookups then scan).
void NoteAt(ClientTable &table, uint32_t i) {
    try {
        if (!table.index) table.index = new ClientIndex;
        table.index->position[table.entries[i].record.socket] = i;
    } catch (const std::bad_alloc &) {
        delete table.index;
        table.index = nullptr;
    }
}

void NoteRange(ClientTable &table, uint32_t from, uint32_t to) {
    for (uint32_t k = from; k <= to && k < table.count; ++k) NoteAt(table, k);
}

void Forget(ClientTable &table, NetSocket s) {
    if (table.index) table.index->position.erase(s);
}

// Position of the entry whose connection is s, or count when there is none.
// The index answers in one step; entries moved behind its back (tests, a
// full sort) are found by a scan and noted again.
uint32_t FindClient(ClientTable &table, NetSocket s) {
    if (table.index) {
        auto it = table.index->position.find(s);
        if (it != table.index->position.end() && it->second < table.count &&
            table.entries[it->second].record.socket == s)
            return it->second;
    }
    uint32_t i = 0;
    while (i < table.count && table.entries[i].record.socket != s) ++i;
    if (i < table.count) NoteAt(table, i);
    return i;
}

// Makes room for one more entry, doubling the block. 1 on success.
int Reserve(ClientTable &table) {
    if (table.count < table.capacity) return 1;
    constexpr uint32_t kMaxEntries = UINT32_MAX / 2;
    if (table.capacity >= kMaxEntries) return 0;
    uint32_t capacity = table.capacity ? table.capacity * 2 : 8;
    size_t bytes = 0;  // a block past the address space (32-bit builds) cannot be had
    if (__builtin_mul_overflow(size_t{capacity}, sizeof(ClientEntry), &bytes)) return 0;
    void *block = std::realloc(table.entries, bytes);
    if (!block) return 0;
    table.entries = static_cast<ClientEntry *>(block);
    table.capacity = capacity;
    return 1;
}

// Moves the entry at position i to where it belongs; every other entry is
// already in order, so this is one binary search and one block move.
// Returns the entry's new position.
uint32_t PlaceEntry(ClientTable &table, uint32_t i) {
    ClientEntry *e = table.entries;
    const ClientEntry moving = e[i];
    auto before = [&](const ClientEntry &x) { return CompareClients(x, moving) <= 0; };
    auto strictlyBefore = [&](const ClientEntry &x) { return CompareClients(x, moving) < 0; };
    uint32_t to = i;
    if (i > 0 && CompareClients(e[i - 1], moving) > 0) {
        to = static_cast<uint32_t>(std::partition_point(e, e + i, before) - e);
        std::memmove(e + to + 1, e + to, (i - to) * sizeof(ClientEntry));
    } else if (i + 1 < table.count) {
        uint32_t next = static_cast<uint32_t>(std::partition_point(e + i + 1, e + table.count, strictlyBefore) - e);
        to = next - 1;
        std::memmove(e + i, e + i + 1, (to - i) * sizeof(ClientEntry));
    }
    if (to != i) {
        e[to] = moving;
        NoteRange(table, std::min(i, to), std::max(i, to));
    }
    return to;
}

// Whether a whole message carries the signature: its first 16 bytes.
bool HasWireSignature(const uint8_t *message) {
    return std::memcmp(message, RecordSignature, sizeof RecordSignature) == 0;
}

// The entry's record becomes the message (its connection stays), received at nowNs.
void StoreMessage(ClientEntry &entry, const uint8_t *message, uint64_t nowNs) {
    StatusRecord decoded{};
    DecodeRecord(std::span<const uint8_t>(message, kMessageLength), kFieldTable, decoded);
    decoded.socket = entry.record.socket;
    decoded.hasData = 1;
    entry.record = decoded;
    entry.receivedAt = nowNs;
    entry.stalledSeen = 0;
}

// Takes every whole message in bytes, counting it accepted or rejected; a
// message counts only once all its bytes are in. Only the last valid one is
// decoded, as each would replace the one before. 1 when one was stored.
int TakeBytes(ClientTable &table, ClientEntry &entry, const uint8_t *bytes, size_t size) {
    int stored = 0;
    const uint64_t now = ClientClockNow(table);
    // First the message an earlier receive began.
    if (entry.fill > 0) {
        size_t take = std::min<size_t>(kMessageLength - entry.fill, size);
        std::memcpy(entry.pending + entry.fill, bytes, take);
        entry.fill += static_cast<uint32_t>(take);
        bytes += take;
        size -= take;
        if (entry.fill < kMessageLength) return 0;
        entry.fill = 0;
        if (HasWireSignature(entry.pending)) {
            ++table.messagesAccepted;
            StoreMessage(entry, entry.pending, now);
            stored = 1;
        } else {
            ++table.messagesRejected;
        }
    }
    // Whole messages are checked where they lie.
    const uint8_t *latest = nullptr;
    for (; size >= kMessageLength; bytes += kMessageLength, size -= kMessageLength) {
        if (HasWireSignature(bytes)) {
            ++table.messagesAccepted;
            latest = bytes;
        } else {
            ++table.messagesRejected;
        }
    }
    if (latest) {
        StoreMessage(entry, latest, now);
        stored = 1;
    }
    // The start of the next message waits for the rest of its bytes.
    std::memcpy(entry.pending, bytes, size);
    entry.fill = static_cast<uint32_t>(size);
    if (size > 0) entry.partialSince = now;
    return stored;
}

// One receive from the client at position i. Returns what the receive gave:
// a byte count, 0 when the peer closed (the client is then removed), or an
// error / would-block code.
long ReceiveOnce(ClientTable &table, const ServerHost &host, uint32_t i) {
    uint8_t buffer[kReadChunk];
    NetSocket s = table.entries[i].record.socket;
    long n = NetRecv(s, buffer, sizeof buffer);
    if (n == 0) {
        RemoveClient(table, host, s);
        return 0;
    }
    if (n < 0) return n;
    if (TakeBytes(table, table.entries[i], buffer, static_cast<size_t>(n))) {
        PlaceEntry(table, i);
        MarkRefresh(table);
    }
    return n;
}

// Removes the client at position i if its connection has failed. 1 when removed.
int DropIfFailed(ClientTable &table, const ServerHost &host, uint32_t i) {
    int error = 0;
    NetSocket s = table.entries[i].record.socket;
    if (NetPendingError(s, &error) && error == 0) return 0;
    RemoveClient(table, host, s);
    return 1;
}

// Two records of the same CPU of the same job (the CPU, cheaper, compared first).
bool SameCpuOfSameJob(const ClientEntry &a, const ClientEntry &b) {
    return a.record.hasData && b.record.hasData && a.record.cpuIndex == b.record.cpuIndex && CompareClients(a, b) == 0;
}

// The prune after one event, for the one connection it concerned: a failed
// connection goes; a record that just took its place beside a record of the
// same CPU of the same job drops the older of the two. Nothing else in a
// table without duplicates can have changed, so this equals a whole scan.
// After a receive that gave bytes the connection is known to work and its
// error is not asked for (the receive would have reported it).
void PruneClient(ClientTable &table, const ServerHost &host, NetSocket s, bool working = false) {
    for (;;) {
        uint32_t i = FindClient(table, s);
        if (i == table.count || (!working && DropIfFailed(table, host, i))) return;
        const ClientEntry &entry = table.entries[i];
        if (!entry.record.hasData) return;
        const ClientEntry *twin = nullptr;
        if (i > 0 && SameCpuOfSameJob(table.entries[i - 1], entry))
            twin = &table.entries[i - 1];
        else if (i + 1 < table.count && SameCpuOfSameJob(entry, table.entries[i + 1]))
            twin = &table.entries[i + 1];
        if (!twin) return;
        bool selfOlder = entry.acceptSeq < twin->acceptSeq;
        RemoveClient(table, host, selfOlder ? s : twin->record.socket);
        if (selfOlder) return;
    }
}

}  // namespace

PeerTimeouts PeerTimeoutsFor(uint32_t testSeconds) {
    PeerTimeouts t;
    if (testSeconds == 0) return t;
    testSeconds = std::min<uint32_t>(testSeconds, t.messageWaitSeconds);
    t.keepAliveIdleSeconds = testSeconds;
    t.keepAliveIntervalSeconds = std::max<uint32_t>(1, testSeconds / 6);
    t.messageWaitSeconds = testSeconds;
    return t;
}

uint64_t ClientClockNow(const ClientTable &table) { return table.clock ? table.clock() : MonotonicNanos(); }

bool IsStalled(const ClientEntry &entry, uint64_t nowNs, uint32_t stallSeconds) {
    if (!entry.record.hasData || stallSeconds == 0) return false;
    const uint64_t silence = nowNs > entry.receivedAt ? nowNs - entry.receivedAt : 0;
    if (silence <= uint64_t{stallSeconds} * 1000000000ULL) return false;
    // Ticks are 100 ns; a pass time too long to scale never lets the CPU stall.
    const int64_t recent = entry.record.recentPassTime;
    constexpr int64_t kMaxScalable = static_cast<int64_t>(UINT64_MAX / 300);
    if (recent >= kMaxScalable) return false;
    return recent <= 0 || silence > static_cast<uint64_t>(recent) * 300;
}

void CheckClientTimes(ClientTable &table, const ServerHost &host, uint32_t stallSeconds) {
    const uint64_t now = ClientClockNow(table);
    const uint64_t wait = uint64_t{table.peer.messageWaitSeconds} * 1000000000ULL;
    const auto waitedOut = [&](uint64_t since) { return now > since && now - since >= wait; };
    std::vector<NetSocket> late;
    for (uint32_t i = 0; i < table.count; ++i) {
        ClientEntry &e = table.entries[i];
        if ((!e.record.hasData && waitedOut(e.acceptedAt)) || (e.fill > 0 && waitedOut(e.partialSince))) {
            try {
                late.push_back(e.record.socket);
            } catch (const std::bad_alloc &) {
                break;  // the rest waits for the next check
            }
            continue;
        }
        const uint8_t stalled = IsStalled(e, now, stallSeconds) ? 1 : 0;
        if (stalled != e.stalledSeen) {
            e.stalledSeen = stalled;
            MarkRefresh(table);
        }
    }
    for (const NetSocket s : late) RemoveClient(table, host, s);
}

int CompareClients(const ClientEntry &a, const ClientEntry &b) {
    if (a.record.hasData != b.record.hasData) return a.record.hasData ? -1 : 1;
    if (int c = CompareJobIdentity(a.record, b.record)) return c < 0 ? -1 : 1;
    if (a.record.cpuIndex != b.record.cpuIndex) return a.record.cpuIndex < b.record.cpuIndex ? -1 : 1;
    return 0;
}

void SortClients(ClientTable &table) {
    if (table.count < 2) return;
    std::stable_sort(table.entries, table.entries + table.count,
                     [](const ClientEntry &a, const ClientEntry &b) { return CompareClients(a, b) < 0; });
}

void AcceptClient(ClientTable &table, const ServerHost &host, NetSocket listener) {
    NetSocket s = NetAccept(listener);
    if (s == kNoNetSocket) return;
    if (!Reserve(table)) {
        NetClose(s);
        return;
    }
    ClientEntry &entry = table.entries[table.count];
    std::memset(&entry, 0, sizeof entry);
    entry.record.socket = s;
    entry.acceptSeq = table.nextSeq++;
    entry.acceptedAt = ClientClockNow(table);
    // A peer whose machine vanished never closes; keepalive finds it out.
    // Without it (an option the system refuses) the connection still works.
    const PeerTimeouts &peer = table.peer;
    NetSetKeepAlive(s, peer.keepAliveIdleSeconds, peer.keepAliveIntervalSeconds, peer.keepAliveProbes);
    ++table.count;
    NoteAt(table, table.count - 1);
    if (host.watchClient) host.watchClient(host.context, s);
}

void ReadClient(ClientTable &table, const ServerHost &host, NetSocket s) {
    uint32_t i = FindClient(table, s);
    if (i == table.count) return;
    ReceiveOnce(table, host, i);
}

void RemoveClient(ClientTable &table, [[maybe_unused]] const ServerHost &host, NetSocket s) {
    uint32_t i = FindClient(table, s);
    if (i == table.count) return;
    NetClose(s);
    Forget(table, s);
    --table.count;
    if (i < table.count) {
        table.entries[i] = table.entries[table.count];
        NoteAt(table, i);
        PlaceEntry(table, i);
    }
    MarkRefresh(table);
}

void PruneClients(ClientTable &table, const ServerHost &host) {
    for (uint32_t k = 0; k < table.count;) {
        const ClientEntry &entry = table.entries[k];
        if (DropIfFailed(table, host, k)) {
            k = 0;
            continue;
        }
        // The table is sorted, so two connections reporting the same CPU of
        // the same job are neighbours. The newer one is the live one.
        if (k + 1 < table.count) {
            const ClientEntry &next = table.entries[k + 1];
            if (SameCpuOfSameJob(entry, next)) {
                RemoveClient(table, host, entry.acceptSeq < next.acceptSeq ? entry.record.socket : next.record.socket);
                k = 0;
                continue;
            }
        }
        ++k;
    }
}

void ServerSocketEvent(ClientTable &table, const ServerHost &host, NetSocket s, SocketEvent event) {
    switch (event) {
    case SocketEvent::Read: {
        uint32_t i = FindClient(table, s);
        if (i == table.count) break;
        long n = ReceiveOnce(table, host, i);
        PruneClient(table, host, s, n > 0);
        break;
    }
    case SocketEvent::Accept: {
        uint64_t before = table.nextSeq;
        AcceptClient(table, host, s);
        if (table.nextSeq != before) PruneClient(table, host, table.entries[table.count - 1].record.socket);
        break;
    }
    case SocketEvent::Close: {
        // Messages that arrived just before the peer closed still count.
        for (int reads = 0; reads < kMaxDrainReads; ++reads) {
            uint32_t i = FindClient(table, s);
            if (i == table.count || ReceiveOnce(table, host, i) <= 0) break;
        }
        RemoveClient(table, host, s);
        break;
    }
    case SocketEvent::Recheck:
        PruneClients(table, host);
        break;
    }
}

int FinishSocketEvents(ClientTable &table, const ServerHost &host) {
    for (uint32_t budget = std::min(kErrorChecksPerBatch, table.count); budget > 0 && table.count > 0; --budget) {
        if (table.errorCursor >= table.count) table.errorCursor = 0;
        if (!DropIfFailed(table, host, table.errorCursor)) ++table.errorCursor;
    }
    // Sorted, so duplicates are neighbours; a removal can only bring an
    // earlier pair together.
    for (uint32_t k = 0; k + 1 < table.count;) {
        const ClientEntry &a = table.entries[k], &b = table.entries[k + 1];
        if (SameCpuOfSameJob(a, b)) {
            RemoveClient(table, host, a.acceptSeq < b.acceptSeq ? a.record.socket : b.record.socket);
            k = k > 0 ? k - 1 : 0;
            continue;
        }
        ++k;
    }
    if (!table.refreshNeeded) return 0;
    table.refreshNeeded = 0;
    if (host.refresh) host.refresh(host.context);
    return 1;
}

void ReleaseClients(ClientTable &table) {
    for (uint32_t i = 0; i < table.count; ++i) NetClose(table.entries[i].record.socket);
    std::free(table.entries);
    delete table.index;
    table.index = nullptr;
    table.entries = nullptr;
    table.count = 0;
    table.capacity = 0;
}
