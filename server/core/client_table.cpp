// The client table: accepts connections, reassembles and stores their status messages, drops dead and duplicate ones.
#include "client_table.h"

#include "clock.h"
#include "plausible_record.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

// Slot number of no slot.
constexpr uint32_t kNoSlot = UINT32_MAX;

// One job's identity, shared by the clients reporting it, so that ordering
// two clients reads their compact keys rather than two records' identity fields.
struct Job {
    StatusRecord identity;  // the record that first named the job
    uint32_t users = 0;     // keys pointing here
};

struct JobLess {
    using is_transparent = void;
    bool operator()(const Job *a, const Job *b) const { return CompareJobIdentity(a->identity, b->identity) < 0; }
    bool operator()(const Job *a, const StatusRecord *b) const { return CompareJobIdentity(a->identity, *b) < 0; }
    bool operator()(const StatusRecord *a, const Job *b) const { return CompareJobIdentity(*a, b->identity) < 0; }
};

// What the order reads of a client: the fields CompareClients looks at, and acceptance.
struct SlotKey {
    Job *job = nullptr;  // null until the client has data
    int32_t cpu = 0;
    uint64_t acceptSeq = 0;
    NetSocket socket = kNoNetSocket;
};

// The place in the order where the clients without data begin: they follow
// every client with data, in order of acceptance.
struct SilentStart {};

// The table's order over slot numbers: CompareClients, then acceptance.
struct SlotOrder {
    using is_transparent = void;
    const std::vector<SlotKey> *keys;
    bool operator()(uint32_t a, SilentStart) const { return (*keys)[a].job != nullptr; }
    bool operator()(SilentStart, uint32_t b) const { return (*keys)[b].job == nullptr; }
    bool operator()(uint32_t a, uint32_t b) const {
        const SlotKey &x = (*keys)[a], &y = (*keys)[b];
        if ((x.job != nullptr) != (y.job != nullptr)) return x.job != nullptr;
        if (x.job != y.job) return CompareJobIdentity(x.job->identity, y.job->identity) < 0;
        if (x.cpu != y.cpu) return x.cpu < y.cpu;
        return x.acceptSeq < y.acceptSeq;
    }
};

}  // namespace

struct ClientIndex {
    ClientEntry *slots = nullptr;  // capacity of them; [0, used) have held a client
    uint32_t used = 0;
    std::vector<SlotKey> keys;     // per slot
    std::set<Job *, JobLess> jobs;  // the jobs of the clients with data, each once
    std::set<uint32_t, SlotOrder> order{SlotOrder{&keys}};
    // Per slot: its node in order (order.end() for a free slot) and whether
    // it was placed since the last end of a batch.
    std::vector<std::set<uint32_t, SlotOrder>::iterator> node;
    std::vector<uint8_t> touchedFlag;
    std::vector<uint32_t> touched;  // slots placed since the last end of a batch
    std::vector<uint32_t> freeSlots;
    // The order as a plain sequence for ClientAt, redone on the first read
    // after the order changed. Sized with the slots, so redoing it never allocates.
    std::vector<uint32_t> sequence;
    bool sequenceStale = false;
    std::unordered_map<NetSocket, uint32_t> slotOf;  // every client's connection to its slot
    std::vector<StatusRecord> departed;  // last records of clients with data removed since the last end of a batch
    // Open connections per peer address (ClientEntry::peerAddr), kept while
    // the table has a maxPerAddress; addresses with none are not kept.
    std::unordered_map<uint32_t, uint32_t> perAddress;
    uint32_t lastAccepted = 0;                        // slot of the newest client

    bool Live(uint32_t slot) const { return slot < used && node[slot] != order.end(); }
    ~ClientIndex() {
        for (Job *job : jobs) delete job;
    }
};

namespace {

// One receive takes up to this many bytes, so several messages that arrived
// together are handled in one notification.
constexpr size_t kReadChunk = 16 * 1024;

// A close notification reads at most this far; the read notifications that
// follow take the rest.
constexpr int kMaxDrainReads = 64;

// Where a refresh used to run after every message: the batch's end runs it.
void MarkRefresh(ClientTable &table) { table.refreshNeeded = 1; }

// The index of a table the core keeps, made on first use; null for a table
// built by hand, or without memory for one.
ClientIndex *IndexOf(ClientTable &table) {
    if (table.index) return table.index;
    if (table.entries || table.count) return nullptr;
    table.index = new (std::nothrow) ClientIndex;
    return table.index;
}

ClientEntry &Slot(ClientTable &table, uint32_t slot) { return table.index->slots[slot]; }

// Slot of the client whose connection is s, or kNoSlot; one step, also for
// the sockets no longer in the table that late notifications name.
uint32_t FindClient(ClientTable &table, NetSocket s) {
    ClientIndex *x = table.index;
    if (!x) return kNoSlot;
    auto it = x->slotOf.find(s);
    return it == x->slotOf.end() ? kNoSlot : it->second;
}

// Makes room for one more client: a free slot, or twice the slots. The slot
// number, or kNoSlot without memory.
uint32_t TakeSlot(ClientIndex &x, ClientTable &table) {
    if (!x.freeSlots.empty()) {
        uint32_t slot = x.freeSlots.back();
        x.freeSlots.pop_back();
        return slot;
    }
    if (x.used == table.capacity) {
        constexpr uint32_t kMaxSlots = UINT32_MAX / 2;
        if (table.capacity >= kMaxSlots) return kNoSlot;
        uint32_t capacity = table.capacity ? table.capacity * 2 : 8;
        size_t bytes = 0;  // a block past the address space (32-bit builds) cannot be had
        if (__builtin_mul_overflow(size_t{capacity}, sizeof(ClientEntry), &bytes)) return kNoSlot;
        try {
            // Everything kept per slot grows first, so nothing later allocates.
            x.node.resize(capacity, x.order.end());
            x.keys.resize(capacity);
            x.touchedFlag.resize(capacity, 0);
            x.touched.reserve(capacity);
            x.freeSlots.reserve(capacity);
            x.sequence.resize(capacity);
        } catch (const std::bad_alloc &) {
            return kNoSlot;
        }
        void *block = std::realloc(x.slots, bytes);
        if (!block) return kNoSlot;
        x.slots = static_cast<ClientEntry *>(block);
        table.capacity = capacity;
    }
    return x.used++;
}

void ReleaseJob(ClientIndex &x, Job *job) {
    if (!job || --job->users > 0) return;
    x.jobs.erase(job);
    delete job;
}

// Points the slot's key at its record's job (made when it is new) and CPU.
// 0 without memory for a new job; the key is then as it was.
int KeyFromRecord(ClientIndex &x, uint32_t slot) {
    SlotKey &key = x.keys[slot];
    const StatusRecord &r = x.slots[slot].record;
    if (!key.job || CompareJobIdentity(key.job->identity, r) != 0) {
        Job *job = nullptr;
        auto it = x.jobs.find(&r);
        if (it != x.jobs.end()) {
            job = *it;
        } else {
            try {
                auto made = std::make_unique<Job>();
                made->identity = r;
                x.jobs.insert(made.get());
                job = made.release();
            } catch (const std::bad_alloc &) {
                return 0;
            }
        }
        ++job->users;
        ReleaseJob(x, key.job);
        key.job = job;
    }
    key.cpu = r.cpuIndex;
    return 1;
}

void NoteTouched(ClientIndex &x, uint32_t slot) {
    if (x.touchedFlag[slot]) return;
    x.touchedFlag[slot] = 1;
    x.touched.push_back(slot);
}

// Puts the slot's client where its record now belongs. Nothing moves when it
// still lies between its neighbours; otherwise its node is taken out and put
// back (no allocation): O(log n).
void PlaceEntry(ClientTable &table, uint32_t slot) {
    ClientIndex &x = *table.index;
    NoteTouched(x, slot);
    auto it = x.node[slot];
    const SlotOrder &before = x.order.key_comp();
    auto next = std::next(it);
    bool inPlace = (it == x.order.begin() || before(*std::prev(it), slot)) && (next == x.order.end() || before(slot, *next));
    if (inPlace) return;
    auto handle = x.order.extract(it);
    x.node[slot] = x.order.insert(std::move(handle)).position;
    x.sequenceStale = true;
}

// Whether a whole message carries the signature: its first 16 bytes.
bool HasWireSignature(const uint8_t *message) {
    return std::memcmp(message, RecordSignature, sizeof RecordSignature) == 0;
}

// The entry's record becomes the message (its connection stays), received at
// nowNs; one that cannot be true is counted.
void StoreMessage(ClientTable &table, ClientEntry &entry, const uint8_t *message, uint64_t nowNs) {
    StatusRecord decoded{};
    DecodeRecord(std::span<const uint8_t>(message, kMessageLength), kFieldTable, decoded);
    decoded.socket = entry.record.socket;
    decoded.hasData = 1;
    entry.record = decoded;
    entry.receivedAt = nowNs;
    entry.stalledSeen = 0;
    if (!IsPlausibleRecord(decoded, NowFileTime())) ++table.recordsImplausible;
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
            StoreMessage(table, entry, entry.pending, now);
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
        StoreMessage(table, entry, latest, now);
        stored = 1;
    }
    // The start of the next message waits for the rest of its bytes.
    std::memcpy(entry.pending, bytes, size);
    entry.fill = static_cast<uint32_t>(size);
    if (size > 0) entry.partialSince = now;
    return stored;
}

// One receive from the client in the slot. Returns what the receive gave:
// a byte count, 0 when the peer closed (the client is then removed), or an
// error / would-block code.
long ReceiveOnce(ClientTable &table, const ServerHost &host, uint32_t slot) {
    uint8_t buffer[kReadChunk];
    NetSocket s = Slot(table, slot).record.socket;
    long n = NetRecv(s, buffer, sizeof buffer);
    if (n == 0) {
        RemoveClient(table, host, s);
        return 0;
    }
    if (n < 0) return n;
    if (TakeBytes(table, Slot(table, slot), buffer, static_cast<size_t>(n))) {
        if (!KeyFromRecord(*table.index, slot)) {
            // No memory to order the record by: the client cannot be shown.
            RemoveClient(table, host, s);
            return kNetError;
        }
        PlaceEntry(table, slot);
        MarkRefresh(table);
    }
    return n;
}

// The slot's connection is closed: its peer address holds one connection fewer.
void ForgetPeer(ClientIndex &x, uint32_t slot) {
    auto it = x.perAddress.find(x.slots[slot].peerAddr);
    if (it == x.perAddress.end()) return;
    if (--it->second == 0) x.perAddress.erase(it);
}

// Removes the client in the slot if its connection has failed. 1 when removed.
int DropIfFailed(ClientTable &table, const ServerHost &host, uint32_t slot) {
    int error = 0;
    NetSocket s = table.index->keys[slot].socket;
    if (NetPendingError(s, &error) && error == 0) return 0;
    RemoveClient(table, host, s);
    return 1;
}

// Two clients reporting the same CPU of the same job.
bool SameCpuOfSameJob(const ClientIndex &x, uint32_t a, uint32_t b) {
    const SlotKey &p = x.keys[a], &q = x.keys[b];
    return p.job && p.job == q.job && p.cpu == q.cpu;
}

// The neighbour of the slot's client in the order that reports the same CPU
// of the same job, or kNoSlot.
uint32_t TwinOf(ClientIndex &x, uint32_t slot) {
    if (!x.keys[slot].job) return kNoSlot;
    auto it = x.node[slot];
    if (it != x.order.begin() && SameCpuOfSameJob(x, *std::prev(it), slot)) return *std::prev(it);
    auto next = std::next(it);
    if (next != x.order.end() && SameCpuOfSameJob(x, slot, *next)) return *next;
    return kNoSlot;
}

// Drops the slot's duplicates: of two records of the same CPU of the same
// job the older goes. 1 when the slot's own client went.
int DropTwins(ClientTable &table, const ServerHost &host, uint32_t slot) {
    ClientIndex &x = *table.index;
    for (uint32_t twin; (twin = TwinOf(x, slot)) != kNoSlot;) {
        bool selfOlder = x.keys[slot].acceptSeq < x.keys[twin].acceptSeq;
        RemoveClient(table, host, x.keys[selfOlder ? slot : twin].socket);
        if (selfOlder) return 1;
    }
    return 0;
}

// The prune after one event, for the one connection it concerned: a failed
// connection goes; a record that just took its place beside a record of the
// same CPU of the same job drops the older of the two. Nothing else in a
// table without duplicates can have changed, so this equals a whole scan.
// After a receive that gave bytes the connection is known to work and its
// error is not asked for (the receive would have reported it).
void PruneClient(ClientTable &table, const ServerHost &host, NetSocket s, bool working = false) {
    uint32_t slot = FindClient(table, s);
    if (slot == kNoSlot || (!working && DropIfFailed(table, host, slot))) return;
    DropTwins(table, host, slot);
}

}  // namespace

const ClientEntry &ClientAt(const ClientTable &table, uint32_t i) {
    ClientIndex *x = table.index;
    if (!x) return table.entries[i];
    if (x->sequenceStale) {
        uint32_t k = 0;
        for (uint32_t slot : x->order) x->sequence[k++] = slot;
        x->sequenceStale = false;
    }
    return x->slots[x->sequence[i]];
}

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
    ClientIndex *x = table.index;
    if (!x) return;  // a table built by hand has no connections to watch
    for (uint32_t slot = 0; slot < x->used; ++slot) {
        if (!x->Live(slot)) continue;
        ClientEntry &e = x->slots[slot];
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
            if (stalled && host.cpuStalled) host.cpuStalled(host.context, e.record.socket);
        }
    }
    for (const NetSocket s : late) RemoveClient(table, host, s);
}

int CompareClients(const ClientEntry &a, const ClientEntry &b) {
    if (a.record.hasData != b.record.hasData) return a.record.hasData ? -1 : 1;
    if (!a.record.hasData) return 0;  // nothing to order by
    if (int c = CompareJobIdentity(a.record, b.record)) return c < 0 ? -1 : 1;
    if (a.record.cpuIndex != b.record.cpuIndex) return a.record.cpuIndex < b.record.cpuIndex ? -1 : 1;
    return 0;
}

void SortClients(ClientTable &table) {
    if (table.index || table.count < 2) return;
    std::stable_sort(table.entries, table.entries + table.count,
                     [](const ClientEntry &a, const ClientEntry &b) { return CompareClients(a, b) < 0; });
}

AcceptOutcome AcceptClient(ClientTable &table, const ServerHost &host, NetSocket listener) {
    ClientIndex *x = IndexOf(table);
    if (!x) return AcceptOutcome::NoMemory;
    NetPeer from;
    NetSocket s = NetAcceptFrom(listener, &from);
    if (s == kNoNetSocket) return from.noDescriptors ? AcceptOutcome::NoDescriptors : AcceptOutcome::NoneWaiting;
    if (!AddressFilterAllows(table.networks, from)) {
        NetClose(s);
        ++table.refused.network;
        MarkRefresh(table);  // the counters are shown
        return AcceptOutcome::Refused;
    }
    // The peer's count of open connections, made (at 0) when it is new.
    uint32_t *held = nullptr;
    if (table.maxPerAddress) {
        try {
            held = &x->perAddress[from.addrNetOrder];
        } catch (const std::bad_alloc &) {
            NetClose(s);
            return AcceptOutcome::NoMemory;
        }
        if (*held >= table.maxPerAddress) {
            NetClose(s);
            ++table.refused.perAddress;
            MarkRefresh(table);
            return AcceptOutcome::Refused;
        }
    }
    const auto noMemory = [&] {
        if (held && *held == 0) x->perAddress.erase(from.addrNetOrder);
        NetClose(s);
        return AcceptOutcome::NoMemory;
    };
    uint32_t slot = TakeSlot(*x, table);
    if (slot == kNoSlot) return noMemory();
    ClientEntry &entry = x->slots[slot];
    entry.record = StatusRecord{};
    entry.record.socket = s;
    entry.acceptSeq = table.nextSeq;
    entry.fill = 0;  // pending[] is only read up to fill
    entry.peerAddr = from.addrNetOrder;
    x->keys[slot] = SlotKey{nullptr, 0, table.nextSeq, s};
    try {
        x->slotOf[s] = slot;
        try {
            x->node[slot] = x->order.insert(slot).first;
        } catch (const std::bad_alloc &) {
            x->slotOf.erase(s);
            throw;
        }
    } catch (const std::bad_alloc &) {
        x->freeSlots.push_back(slot);
        return noMemory();
    }
    if (held) ++*held;
    ++table.nextSeq;
    entry.acceptedAt = ClientClockNow(table);
    entry.receivedAt = entry.partialSince = 0;
    entry.stalledSeen = 0;
    // A peer whose machine vanished never closes; keepalive finds it out.
    // Without it (an option the system refuses) the connection still works.
    const PeerTimeouts &peer = table.peer;
    NetSetKeepAlive(s, peer.keepAliveIdleSeconds, peer.keepAliveIntervalSeconds, peer.keepAliveProbes);
    ++table.count;
    x->lastAccepted = slot;
    x->sequenceStale = true;
    NoteTouched(*x, slot);
    if (host.watchClient) host.watchClient(host.context, s);
    return AcceptOutcome::Accepted;
}

AcceptOutcome ServerAccept(ClientTable &table, const ServerHost &host, NetSocket listener) {
    const AcceptOutcome outcome = AcceptClient(table, host, listener);
    if (outcome == AcceptOutcome::Accepted) {
        ClientIndex &x = *table.index;
        PruneClient(table, host, x.keys[x.lastAccepted].socket);
    }
    return outcome;
}

int MakeRoomForClient(ClientTable &table, const ServerHost &host) {
    ClientIndex *x = table.index;
    if (!x) return 0;
    // Each turn closes a connection or sees the oldest silent one report, so
    // the loop ends; it goes on past the first turn only for CPUs that just reported.
    for (;;) {
        const auto oldest = x->order.lower_bound(SilentStart{});
        if (oldest == x->order.end()) return 0;  // every client has reported
        const uint32_t slot = *oldest;
        const NetSocket s = x->keys[slot].socket;
        // A plug-in sends its first message as it connects: it may wait unread.
        const long n = ReceiveOnce(table, host, slot);
        if (FindClient(table, s) != slot) return 1;  // it was closed (by its peer, or for want of memory)
        if (n > 0 && x->keys[slot].job) continue;     // it reported: the next oldest
        RemoveClient(table, host, s);
        ++table.refused.descriptors;
        return 1;
    }
}

void ReadClient(ClientTable &table, const ServerHost &host, NetSocket s) {
    uint32_t slot = FindClient(table, s);
    if (slot == kNoSlot) return;
    ReceiveOnce(table, host, slot);
}

void RemoveClient(ClientTable &table, [[maybe_unused]] const ServerHost &host, NetSocket s) {
    uint32_t slot = FindClient(table, s);
    if (slot == kNoSlot) return;
    ClientIndex &x = *table.index;
    if (x.slots[slot].record.hasData) {
        try {
            x.departed.push_back(x.slots[slot].record);
        } catch (const std::bad_alloc &) {
            // Out of memory: the run history misses this CPU's last passes.
        }
    }
    NetClose(s);
    ForgetPeer(x, slot);
    x.slotOf.erase(s);
    x.order.erase(x.node[slot]);
    x.node[slot] = x.order.end();
    ReleaseJob(x, x.keys[slot].job);
    x.keys[slot] = SlotKey{};
    x.freeSlots.push_back(slot);
    x.sequenceStale = true;
    --table.count;
    MarkRefresh(table);
}

void PruneClients(ClientTable &table, const ServerHost &host) {
    ClientIndex *x = table.index;
    if (!x) return;
    // In order, so two connections reporting the same CPU of the same job
    // are neighbours; the newer one is the live one.
    for (auto it = x->order.begin(); it != x->order.end();) {
        const uint32_t slot = *it;
        auto next = std::next(it);
        if (DropIfFailed(table, host, slot)) {
            it = next;
            continue;
        }
        if (next == x->order.end()) break;
        const uint32_t other = *next;
        if (SameCpuOfSameJob(*x, slot, other)) {
            bool selfOlder = x->keys[slot].acceptSeq < x->keys[other].acceptSeq;
            RemoveClient(table, host, x->keys[selfOlder ? slot : other].socket);
            if (selfOlder) it = next;
            continue;
        }
        it = next;
    }
}

void ServerSocketEvent(ClientTable &table, const ServerHost &host, NetSocket s, SocketEvent event) {
    switch (event) {
    case SocketEvent::Read: {
        uint32_t slot = FindClient(table, s);
        if (slot == kNoSlot) break;
        long n = ReceiveOnce(table, host, slot);
        PruneClient(table, host, s, n > 0);
        break;
    }
    case SocketEvent::Accept:
        ServerAccept(table, host, s);
        break;
    case SocketEvent::Close: {
        // Messages that arrived just before the peer closed still count.
        long n = 1;
        for (int reads = 0; reads < kMaxDrainReads && n > 0; ++reads) {
            uint32_t slot = FindClient(table, s);
            if (slot == kNoSlot) return;
            n = ReceiveOnce(table, host, slot);
        }
        // Only a receive of 0 (the client is gone already) or an error
        // confirms the close. Would-block means the connection is open: the
        // notification was for an earlier connection on the same handle.
        if (n > 0 || n == kNetWouldBlock) {
            PruneClient(table, host, s, n > 0);
            break;
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
    if (ClientIndex *x = table.index) {
        for (uint32_t budget = std::min(kErrorChecksPerBatch, x->used); budget > 0 && table.count > 0; --budget) {
            if (table.errorCursor >= x->used) table.errorCursor = 0;
            const uint32_t slot = table.errorCursor++;
            if (x->Live(slot)) DropIfFailed(table, host, slot);
        }
        // A duplicate can only sit beside a record placed since the last
        // end of a batch: a removal never brings two equal records together.
        for (uint32_t slot : x->touched) {
            x->touchedFlag[slot] = 0;
            if (x->Live(slot)) DropTwins(table, host, slot);
        }
        x->touched.clear();
    }
    if (!table.refreshNeeded) return 0;
    table.refreshNeeded = 0;
    if (host.refresh) host.refresh(host.context);
    // The refresh has seen the clients that left; the next batch starts afresh.
    if (table.index) table.index->departed.clear();
    return 1;
}

std::span<const StatusRecord> DepartedClients(const ClientTable &table) {
    if (!table.index) return {};
    return table.index->departed;
}

void ReleaseClients(ClientTable &table) {
    if (ClientIndex *x = table.index) {
        for (uint32_t slot : x->order) NetClose(x->keys[slot].socket);
        std::free(x->slots);
        delete x;
        table.index = nullptr;
        table.count = 0;
        table.capacity = 0;
    }
}
