// Tests of the client table, driven by scripted socket events through a fake network call table.
#include "client_table.h"
#include "clock.h"
#include "report.h"
#include "run_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// A socket value that is no socket at all: asking for its pending error fails.
constexpr NetSocket kDeadSocket = 0x3FFFFFF0;
constexpr NetSocket kListener = 0x3FFFFFF1;

// What a connection's peer has done, in arrival order: bytes, or a close.
struct Arrival {
    Bytes bytes;
    bool closed = false;
    bool error = false;
};

struct FakeNet {
    std::deque<NetSocket> pendingAccepts;
    std::map<NetSocket, uint32_t> peerOf;  // the peer address (network order) a pending connection comes from
    bool noDescriptors = false;            // accepts fail for want of descriptors
    std::map<NetSocket, std::deque<Arrival>> arrivals;
    std::vector<NetSocket> closed;
    // Sockets FakeClose leaves alone: closed behind the table's back, never
    // opened, or kept open so their number can be handed out again.
    std::vector<NetSocket> notClosed;
    // Sockets of peers with an address: the table's closes leave them open
    // until the test ends, so no number is handed out twice within a test.
    std::vector<NetSocket> keptOpen;
    int recvCalls = 0;
};
FakeNet *g_net = nullptr;

NetSocket FakeAccept(NetSocket, NetPeer *peer) {
    if (g_net->noDescriptors) {
        if (peer) peer->noDescriptors = true;
        return kNoNetSocket;
    }
    if (g_net->pendingAccepts.empty()) return kNoNetSocket;
    NetSocket s = g_net->pendingAccepts.front();
    g_net->pendingAccepts.pop_front();
    const auto from = g_net->peerOf.find(s);
    if (peer && from != g_net->peerOf.end()) {
        peer->addrNetOrder = from->second;
        peer->ipv4 = true;
    }
    return s;
}

long FakeRecv(NetSocket s, void *data, size_t size) {
    ++g_net->recvCalls;
    auto &queue = g_net->arrivals[s];
    if (queue.empty()) return kNetWouldBlock;
    Arrival &a = queue.front();
    if (a.closed) return 0;  // stays: a closed peer keeps reading as closed
    if (a.error) {
        queue.pop_front();
        return kNetError;
    }
    size_t n = std::min(size, a.bytes.size());
    std::memcpy(data, a.bytes.data(), n);
    a.bytes.erase(a.bytes.begin(), a.bytes.begin() + static_cast<long>(n));
    if (a.bytes.empty()) queue.pop_front();
    return static_cast<long>(n);
}

void FakeClose(NetSocket s) {
    g_net->closed.push_back(s);
    g_net->arrivals.erase(s);  // the number may be handed out again
    if (s != kDeadSocket && std::count(g_net->notClosed.begin(), g_net->notClosed.end(), s) == 0 &&
        std::count(g_net->keptOpen.begin(), g_net->keptOpen.end(), s) == 0) {
        kDefaultNetCalls.close(s);
    }
}

struct HostLog {
    int refreshes = 0;
    std::vector<NetSocket> watched;
    std::vector<NetSocket> stalled;  // as CheckClientTimes announced them
};

void Watch(void *context, NetSocket s) { static_cast<HostLog *>(context)->watched.push_back(s); }
void Refresh(void *context) { ++static_cast<HostLog *>(context)->refreshes; }
void Stalled(void *context, NetSocket s) { static_cast<HostLog *>(context)->stalled.push_back(s); }

// One client's report, reduced to what the tests vary.
struct Report {
    int32_t cpu = 0;
    const char *scene = "shot";
    uint64_t fileSize = 1000;
    uint32_t passesDone = 1;
    int64_t recentTicks = 0;  // recent pass time
};

StatusRecord RecordOf(const Report &r) {
    StatusRecord rec{};
    std::memcpy(rec.signature, RecordSignature, sizeof RecordSignature);
    rec.cpuIndex = r.cpu;
    std::strncpy(rec.sceneName, r.scene, sizeof rec.sceneName - 1);
    std::strcpy(rec.sceneFile, "/scenes/shot.scn");
    rec.sceneFileSize = r.fileSize;
    rec.passesDone = r.passesDone;
    rec.recentPassTime = r.recentTicks;
    rec.totalPasses = 100;
    rec.firstRenderedFrame = -1;
    return rec;
}

Bytes Encode(const StatusRecord &rec) {
    Bytes m(kMessageLength);
    EncodeRecord(rec, kFieldTable, m);
    return m;
}

Bytes Message(const Report &r) { return Encode(RecordOf(r)); }

Bytes BadSignature(const Report &r) {
    Bytes m = Message(r);
    m[15] ^= 0x01;
    return m;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class ClientTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(NetStartup(), 1);
        g_net = &net;
        netCalls.accept = FakeAccept;
        netCalls.recv = FakeRecv;
        netCalls.close = FakeClose;
        host = {&log, Watch, Refresh, Stalled};
    }
    void TearDown() override {
        ReleaseClients(table);
        for (NetSocket s : net.keptOpen) kDefaultNetCalls.close(s);
        netCalls = kDefaultNetCalls;
        g_net = nullptr;
        NetCleanup();
    }

    // A peer connects: a real but unconnected socket, so its pending-error query works.
    NetSocket Connect(NetSocket s = kNoNetSocket) {
        if (s == kNoNetSocket) s = kDefaultNetCalls.openTcp();
        EXPECT_NE(s, kNoNetSocket);
        net.peerOf.erase(s);  // a number handed out again: no address known
        net.pendingAccepts.push_back(s);
        ServerSocketEvent(table, host, kListener, SocketEvent::Accept);
        return s;
    }
    // A peer at a dotted IPv4 address connects; what the accept did.
    AcceptOutcome ConnectFrom(const char *address, NetSocket &s) {
        s = kDefaultNetCalls.openTcp();
        EXPECT_NE(s, kNoNetSocket);
        uint32_t addr = 0;
        EXPECT_EQ(NetResolveIPv4(address, &addr), 1) << address;
        net.peerOf[s] = addr;
        net.keptOpen.push_back(s);
        net.pendingAccepts.push_back(s);
        return ServerAccept(table, host, kListener);
    }
    NetSocket ConnectFrom(const char *address) {
        NetSocket s = kNoNetSocket;
        ConnectFrom(address, s);
        return s;
    }
    void Arrive(NetSocket s, const Bytes &bytes) { net.arrivals[s].push_back({bytes}); }
    void Read(NetSocket s) { ServerSocketEvent(table, host, s, SocketEvent::Read); }
    // Bytes arrive in one piece and are read with one notification.
    void Send(NetSocket s, const Bytes &bytes) {
        Arrive(s, bytes);
        Read(s);
    }
    void PeerCloses(NetSocket s) { net.arrivals[s].push_back({{}, true}); }
    // The end of a batch of events, where the platform calls the core once: 1 when it refreshed.
    int Finish() { return FinishSocketEvents(table, host); }

    int Find(NetSocket s) const {
        for (uint32_t i = 0; i < table.count; ++i)
            if (ClientAt(table, i).record.socket == s) return static_cast<int>(i);
        return -1;
    }
    const StatusRecord &Rec(NetSocket s) const { return ClientAt(table, static_cast<uint32_t>(Find(s))).record; }
    std::vector<NetSocket> Order() const {
        std::vector<NetSocket> v;
        for (uint32_t i = 0; i < table.count; ++i) v.push_back(ClientAt(table, i).record.socket);
        return v;
    }
    // The peer's socket closed behind the table's back: its pending-error query now fails.
    void Vanish(NetSocket s) {
        kDefaultNetCalls.close(s);
        net.notClosed.push_back(s);
    }
    bool Closed(NetSocket s) const { return std::count(net.closed.begin(), net.closed.end(), s) == 1; }

    FakeNet net;
    HostLog log;
    ServerHost host{};
    ClientTable table{};
};

TEST_F(ClientTableTest, AcceptAppendsAnEmptyRecordWithoutRefreshing) {
    NetSocket a = Connect();
    NetSocket b = Connect();
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(Order(), (std::vector<NetSocket>{a, b}));
    EXPECT_EQ(log.watched, (std::vector<NetSocket>{a, b}));
    EXPECT_EQ(log.refreshes, 0);
    EXPECT_EQ(Rec(b).hasData, 0u);
    EXPECT_EQ(Rec(b).cpuIndex, 0);
    EXPECT_LT(ClientAt(table, 0).acceptSeq, ClientAt(table, 1).acceptSeq);

    // Nothing pending: nothing changes.
    ServerSocketEvent(table, host, kListener, SocketEvent::Accept);
    EXPECT_EQ(table.count, 2u);
    EXPECT_EQ(log.watched.size(), 2u);
}

TEST_F(ClientTableTest, AcceptGrowsTheBlockGeometrically) {
    // Made-up socket numbers would fail the prune's error query, so accept without the prune.
    std::vector<uint32_t> capacities;
    for (int i = 0; i < 3000; ++i) {
        net.pendingAccepts.push_back(static_cast<NetSocket>(1000000 + i));
        net.notClosed.push_back(1000000 + i);  // never really opened
        AcceptClient(table, host, kListener);
        if (capacities.empty() || capacities.back() != table.capacity) capacities.push_back(table.capacity);
    }
    EXPECT_EQ(table.count, 3000u);
    EXPECT_GE(table.capacity, table.count);
    EXPECT_LE(capacities.size(), 12u) << "block regrown too often";
}

TEST_F(ClientTableTest, CompareClientsOrdersDataFirstThenIdentityThenCpu) {
    struct Row {
        const char *what;
        Report a;
        bool aData;
        Report b;
        bool bData;
        int sign;
    };
    const Row rows[] = {
        {"data before none", {5, "z"}, true, {0, "a"}, false, -1},
        {"none after data", {0}, false, {9}, true, 1},
        {"two without data are equal", {3, "x"}, false, {7, "y"}, false, 0},
        {"scene name decides before cpu", {9, "a"}, true, {0, "b"}, true, -1},
        {"identity bytes compare unsigned", {0, "\x01"}, true, {0, "\x80"}, true, -1},
        {"file size as little-endian bytes", {0, "s", 256}, true, {0, "s", 1}, true, -1},
        {"same job: cpu decides", {2}, true, {10}, true, -1},
        {"negative cpu first", {-1}, true, {0}, true, -1},
        {"extreme cpus do not overflow", {INT_MIN}, true, {INT_MAX}, true, -1},
        {"extreme cpus reversed", {INT_MAX}, true, {INT_MIN}, true, 1},
        {"same job same cpu", {4}, true, {4}, true, 0},
    };
    for (const Row &row : rows) {
        ClientEntry a{}, b{};
        if (row.aData) {
            a.record = RecordOf(row.a);
            a.record.hasData = 1;
        }
        if (row.bData) {
            b.record = RecordOf(row.b);
            b.record.hasData = 1;
        }
        int c = CompareClients(a, b);
        int sign = (c > 0) - (c < 0);
        EXPECT_EQ(sign, row.sign) << row.what << ": CompareClients gave " << c;
        int back = CompareClients(b, a);
        EXPECT_EQ((back > 0) - (back < 0), -row.sign) << row.what << " (reversed)";
    }
}

TEST_F(ClientTableTest, ReportsKeepTheTableSorted) {
    NetSocket s[6];
    for (NetSocket &x : s) x = Connect();
    // Each step: who reports what, and the expected order afterwards.
    struct Step {
        int who;
        Report r;
        std::vector<int> order;
    };
    const Step steps[] = {
        {3, {1, "b"}, {3, 0, 1, 2, 4, 5}},
        {1, {0, "b"}, {1, 3, 0, 2, 4, 5}},
        {5, {0, "a"}, {5, 1, 3, 0, 2, 4}},
        {0, {2, "b"}, {5, 1, 3, 0, 2, 4}},
        {2, {1, "a"}, {5, 2, 1, 3, 0, 4}},
        {5, {7, "c"}, {2, 1, 3, 0, 5, 4}},  // a later report moves the record
        {1, {5, "b"}, {2, 3, 0, 1, 5, 4}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step &st = steps[i];
        Send(s[st.who], Message(st.r));
        EXPECT_EQ(Finish(), 1) << "step " << i;
        std::vector<NetSocket> want;
        for (int w : st.order) want.push_back(s[w]);
        EXPECT_EQ(Order(), want) << "after step " << i;
        for (uint32_t k = 1; k < table.count; ++k)
            EXPECT_LE(CompareClients(ClientAt(table, k - 1), ClientAt(table, k)), 0) << "step " << i << " pos " << k;
    }
    EXPECT_EQ(log.refreshes, static_cast<int>(std::size(steps)));
    EXPECT_EQ(table.messagesAccepted, std::size(steps));

    // SortClients puts a scrambled table built by hand in the same order.
    std::vector<ClientEntry> copy;
    for (uint32_t k = 0; k < table.count; ++k) copy.push_back(ClientAt(table, k));
    std::vector<NetSocket> sorted = Order();
    std::reverse(copy.begin(), copy.end());
    ClientTable byHand{};
    byHand.entries = copy.data();
    byHand.count = static_cast<uint32_t>(copy.size());
    SortClients(byHand);
    std::vector<NetSocket> got;
    for (uint32_t k = 0; k < byHand.count; ++k) got.push_back(ClientAt(byHand, k).record.socket);
    EXPECT_EQ(got, sorted);

    // Slots freed by leaving clients are taken by new ones; every client is still found by its connection.
    for (int who : {1, 3}) {
        PeerCloses(s[who]);
        Read(s[who]);
        s[who] = Connect();
    }
    for (int who : {0, 4, 1, 3}) {
        Send(s[who], Message({40 + who, "m", 1, 7}));
        EXPECT_EQ(Rec(s[who]).cpuIndex, 40 + who) << "socket " << who;
        EXPECT_EQ(Rec(s[who]).passesDone, 7u);
    }
    EXPECT_EQ(Order(), (std::vector<NetSocket>{s[2], s[5], s[0], s[1], s[3], s[4]}));
    EXPECT_EQ(table.messagesAccepted, std::size(steps) + 4);
}

TEST_F(ClientTableTest, StoredRecordIsTheMessageWithItsOwnSocket) {
    NetSocket a = Connect();
    StatusRecord sent = RecordOf({3, "scene", 77, 12});
    sent.socket = 12345;  // local fields never travel
    sent.frameCounted = 1;
    Send(a, Encode(sent));
    const StatusRecord &got = Rec(a);
    EXPECT_EQ(got.socket, a);
    EXPECT_EQ(got.hasData, 1u);
    EXPECT_EQ(got.frameCounted, 0u);
    EXPECT_EQ(Encode(got), Encode(sent));
}

TEST_F(ClientTableTest, RemovalKeepsTheOrderOfTheRest) {
    NetSocket d0 = Connect(), d1 = Connect(), n0 = Connect(), n1 = Connect(), n2 = Connect();
    Send(d0, Message({0}));
    Send(d1, Message({1}));
    ASSERT_EQ(Order(), (std::vector<NetSocket>{d0, d1, n0, n1, n2}));
    Finish();
    int before = log.refreshes;

    // Records without data follow those with data, in order of acceptance.
    RemoveClient(table, host, d0);
    EXPECT_EQ(Order(), (std::vector<NetSocket>{d1, n0, n1, n2}));
    EXPECT_TRUE(Closed(d0));
    EXPECT_EQ(Finish(), 1);
    EXPECT_EQ(log.refreshes, before + 1);

    RemoveClient(table, host, n2);
    EXPECT_EQ(Order(), (std::vector<NetSocket>{d1, n0, n1}));
    EXPECT_EQ(Finish(), 1);

    // Removing the last record leaves the others and still refreshes.
    RemoveClient(table, host, n0);
    EXPECT_EQ(Order(), (std::vector<NetSocket>{d1, n1}));
    EXPECT_EQ(Finish(), 1);
    EXPECT_EQ(log.refreshes, before + 3);

    // An unknown socket: nothing closed, no refresh.
    RemoveClient(table, host, 424242);
    EXPECT_EQ(table.count, 2u);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(log.refreshes, before + 3);
    EXPECT_EQ(net.closed.size(), 3u);

    // Emptying the table refreshes too: two removals in one batch, one refresh.
    RemoveClient(table, host, n1);
    RemoveClient(table, host, d1);
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(Finish(), 1);
    EXPECT_EQ(log.refreshes, before + 4);
}

TEST_F(ClientTableTest, WrongSignatureChangesNothingEvenForARecordWithData) {
    NetSocket a = Connect(), b = Connect();
    Send(a, Message({1, "x", 5, 10}));
    Bytes kept = Encode(Rec(a));
    int refreshes = log.refreshes;
    std::vector<NetSocket> order = Order();

    Finish();
    refreshes = log.refreshes;
    Send(a, BadSignature({0, "a", 5, 99}));
    Send(b, BadSignature({0, "a"}));
    Finish();
    EXPECT_EQ(Encode(Rec(a)), kept);
    EXPECT_EQ(Rec(a).hasData, 1u);
    EXPECT_EQ(Rec(b).hasData, 0u);
    EXPECT_EQ(Order(), order);
    EXPECT_EQ(log.refreshes, refreshes);
    EXPECT_EQ(table.messagesRejected, 2u);
    EXPECT_EQ(table.messagesAccepted, 1u);
}

TEST_F(ClientTableTest, MessageArrivingOneByteAtATimeCountsOnlyWhenWhole) {
    NetSocket a = Connect();
    Bytes m = Message({4, "slow", 1, 3});
    for (size_t i = 0; i < m.size(); ++i) {
        Send(a, Bytes{m[i]});
        Finish();
        if (i + 1 < m.size()) {
            ASSERT_EQ(Rec(a).hasData, 0u) << "after byte " << i;
            ASSERT_EQ(log.refreshes, 0) << "after byte " << i;
        }
    }
    EXPECT_EQ(Rec(a).hasData, 1u);
    EXPECT_EQ(Rec(a).cpuIndex, 4);
    EXPECT_EQ(log.refreshes, 1);
    EXPECT_EQ(table.messagesAccepted, 1u);
}

TEST_F(ClientTableTest, SeveralMessagesInOneReadAndAPartialOneKeepAlignment) {
    NetSocket a = Connect();
    Bytes first = Message({1, "job", 1, 1}), bad = BadSignature({1, "job", 1, 2}), second = Message({1, "job", 1, 3}),
          third = Message({2, "job", 1, 4});
    Bytes stream = Join({first, bad, second, Bytes(third.begin(), third.begin() + 100)});
    Send(a, stream);
    Finish();
    EXPECT_EQ(table.messagesAccepted, 2u);
    EXPECT_EQ(table.messagesRejected, 1u);
    EXPECT_EQ(Rec(a).passesDone, 3u);
    EXPECT_EQ(log.refreshes, 1) << "one refresh per read";

    Send(a, Bytes(third.begin() + 100, third.end()));
    EXPECT_EQ(table.messagesAccepted, 3u);
    EXPECT_EQ(Rec(a).passesDone, 4u);
    EXPECT_EQ(Rec(a).cpuIndex, 2);
}

TEST_F(ClientTableTest, RandomChunkingGivesTheSameResultAsWholeMessages) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20; ++round) {
        NetSocket a = Connect();
        Bytes stream;
        uint32_t lastGood = 0;
        int good = 0, bad = 0;
        for (uint32_t k = 1; k <= 12; ++k) {
            bool valid = rng() % 3 != 0;
            Bytes m = valid ? Message({round, "r", 1, k}) : BadSignature({round, "r", 1, k});
            stream.insert(stream.end(), m.begin(), m.end());
            valid ? (++good, lastGood = k) : ++bad;
        }
        uint64_t acceptedBefore = table.messagesAccepted, rejectedBefore = table.messagesRejected;
        // Queue the stream in random pieces; each notification reads at most one piece.
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min<size_t>(stream.size() - at, 1 + rng() % 2000);
            Arrive(a, Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)));
            at += n;
        }
        while (!net.arrivals[a].empty()) Read(a);
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(table.messagesAccepted - acceptedBefore, static_cast<uint64_t>(good));
        EXPECT_EQ(table.messagesRejected - rejectedBefore, static_cast<uint64_t>(bad));
        if (good) {
            EXPECT_EQ(Rec(a).passesDone, lastGood);
        }
        EXPECT_EQ(ClientAt(table, static_cast<uint32_t>(Find(a))).fill, 0u);
    }
}

TEST_F(ClientTableTest, PeerCloseRemovesTheClient) {
    // Read notification that finds the connection closed (how the Linux loop sees it).
    NetSocket a = Connect(), b = Connect();
    Send(a, Message({0}));
    Bytes torn = Message({0, "shot", 1000, 2});
    Arrive(a, Bytes(torn.begin(), torn.begin() + 10));
    PeerCloses(a);
    Read(a);  // the partial bytes
    Read(a);  // end of stream
    EXPECT_EQ(Find(a), -1);
    EXPECT_TRUE(Closed(a));
    EXPECT_EQ(table.messagesAccepted, 1u);
    EXPECT_EQ(table.messagesRejected, 0u) << "a torn message is neither accepted nor rejected";

    // Close notification (how Windows reports it): what arrived before the close still counts.
    Arrive(b, Join({Message({1, "shot", 1000, 7}), Message({1, "shot", 1000, 8})}));
    PeerCloses(b);
    Finish();
    int refreshes = log.refreshes;
    ServerSocketEvent(table, host, b, SocketEvent::Close);
    EXPECT_EQ(table.count, 0u);
    EXPECT_TRUE(Closed(b));
    EXPECT_EQ(table.messagesAccepted, 3u);
    EXPECT_EQ(Finish(), 1) << "the messages and the removal ask for a refresh";
    EXPECT_EQ(log.refreshes, refreshes + 1);

    // Events for sockets no longer in the table do nothing.
    int recvs = net.recvCalls;
    Read(b);
    ServerSocketEvent(table, host, b, SocketEvent::Close);
    EXPECT_EQ(net.recvCalls, recvs);
    EXPECT_EQ(net.closed.size(), 2u);
}

// A close notification still queued for a handle that was closed and handed
// to a newer connection: only a receive that confirms the close (0 or an
// error) removes the client now on that handle.
TEST_F(ClientTableTest, LateCloseNotificationLeavesTheNewerConnectionOnItsHandle) {
    struct Case {
        const char *what;
        std::vector<Arrival> queued;  // for the newer connection when the notification comes
        bool removed;
        uint32_t passes;  // the newer connection's record afterwards, when it stays
    };
    const Case cases[] = {
        {"nothing to read: it is open", {}, false, 5},
        {"its next message is read and it stays", {{Message({1, "new", 1, 6})}}, false, 6},
        {"it has closed too: a receive of 0", {{Message({1, "new", 1, 6})}, {{}, true}}, true, 0},
        {"a receive error", {{{}, false, true}}, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NetSocket handle = Connect();
        net.notClosed.push_back(handle);  // stays open, so a newer connection can get the same number
        Send(handle, Message({0, "old"}));
        PeerCloses(handle);
        Read(handle);  // the peer's close, seen by a read; its close notification is still queued
        ASSERT_EQ(table.count, 0u);
        Connect(handle);
        Send(handle, Message({1, "new", 1, 5}));
        EXPECT_EQ(Finish(), 1);
        for (const Arrival &a : c.queued) net.arrivals[handle].push_back(a);
        ServerSocketEvent(table, host, handle, SocketEvent::Close);
        EXPECT_EQ(Find(handle) < 0, c.removed);
        if (!c.removed) {
            EXPECT_EQ(Rec(handle).passesDone, c.passes);
            EXPECT_EQ(Rec(handle).cpuIndex, 1);
        }
        EXPECT_EQ(Finish(), c.removed || c.passes != 5 ? 1 : 0);
        ReleaseClients(table);
        kDefaultNetCalls.close(handle);
        net.notClosed.clear();
        net.closed.clear();
    }
}

// A close notification reads a bounded number of times; what is left, and the
// close itself, are taken by the read notifications that follow: nothing is lost.
TEST_F(ClientTableTest, CloseNotificationLeavesALongBacklogToTheReads) {
    NetSocket a = Connect();
    const uint32_t pieces = 100;
    for (uint32_t k = 1; k <= pieces; ++k) Arrive(a, Message({0, "shot", 1000, k}));
    PeerCloses(a);
    ServerSocketEvent(table, host, a, SocketEvent::Close);
    ASSERT_EQ(Find(a), 0) << "dropped with messages unread";
    EXPECT_LT(Rec(a).passesDone, pieces);
    while (Find(a) == 0) Read(a);
    EXPECT_TRUE(Closed(a));
    EXPECT_EQ(table.messagesAccepted, pieces);
}

// Receives outside an event (ReadClient) are not pruned; the batch's end drops the duplicates they left.
TEST_F(ClientTableTest, BatchEndDropsDuplicatesLeftByUnprunedReceives) {
    NetSocket a = Connect(), b = Connect(), c = Connect();
    for (auto [s, cpu] : {std::pair{b, 3}, {a, 3}, {c, 4}}) {
        Arrive(s, Message({cpu}));
        ReadClient(table, host, s);
    }
    EXPECT_EQ(table.count, 3u);
    EXPECT_EQ(Finish(), 1);
    EXPECT_EQ(Order(), (std::vector<NetSocket>{b, c}));
    EXPECT_TRUE(Closed(a));
}

TEST_F(ClientTableTest, ReceiveErrorLeavesTheClient) {
    NetSocket a = Connect();
    net.arrivals[a].push_back({{}, false, true});
    Read(a);
    EXPECT_EQ(Find(a), 0);
    Read(a);  // would block
    EXPECT_EQ(Find(a), 0);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(log.refreshes, 0);
}

// The mended prune: only reporting records of the same job and CPU are duplicates, and the newer connection stays.
TEST_F(ClientTableTest, PruneDropsTheOlderOfTwoConnectionsForTheSameCpuOfTheSameJob) {
    struct Case {
        const char *what;
        std::vector<Report> reports;     // one connection each, in acceptance order; cpu < 0: never reports
        std::vector<int> survivors;      // indices into reports
    };
    const Case cases[] = {
        {"unreported connections never pair with CPU 0", {{0}, {-1}, {-1}}, {0, 1, 2}},
        {"two records only", {{0}, {0}}, {1}},
        {"same CPU, different scenes", {{0, "a"}, {0, "b"}}, {0, 1}},
        {"same CPU, different file size", {{0, "a", 1}, {0, "a", 2}}, {0, 1}},
        {"same job, different CPUs", {{0}, {1}, {2}}, {0, 1, 2}},
        {"three for one CPU: the newest stays", {{3}, {3}, {3}, {1}}, {2, 3}},
        {"pair among others", {{0, "a"}, {1, "a"}, {-1}, {1, "a"}, {0, "b"}}, {0, 2, 3, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<NetSocket> s;
        for (size_t i = 0; i < c.reports.size(); ++i) s.push_back(Connect());
        // Report newest first, so position in the table is not what decides.
        for (size_t i = c.reports.size(); i-- > 0;)
            if (c.reports[i].cpu >= 0) Send(s[i], Message(c.reports[i]));
        std::vector<NetSocket> want;
        for (int i : c.survivors) want.push_back(s[static_cast<size_t>(i)]);
        std::vector<NetSocket> got = Order();
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
        for (NetSocket x : s) EXPECT_EQ(Closed(x), !std::count(want.begin(), want.end(), x)) << "socket " << x;
        ReleaseClients(table);
        net.closed.clear();
    }
}

// What a refresh saw: the report built from the table at a fixed instant.
struct ReportLog {
    const ClientTable *table = nullptr;
    int refreshes = 0;
    std::string html;
};
void BuildAtRefresh(void *context) {
    auto &log = *static_cast<ReportLog *>(context);
    ++log.refreshes;
    StatusReport report;
    BuildReport(*log.table, 133000000000000000ULL, {3, 4}, report);
    log.html = std::move(report.html);
}

// A batch of events refreshes once, and shows what a refresh after every event would end with.
TEST_F(ClientTableTest, BatchRefreshesOnceAndEndsWhereRefreshPerEventWould) {
    struct Run {
        int refreshes;
        std::string html;
        std::vector<int32_t> cpus;  // table order
    };
    auto play = [&](bool finishEveryEvent) {
        ReportLog report;
        report.table = &table;
        host = {&report, nullptr, BuildAtRefresh, nullptr};
        auto event = [&](auto &&step) {
            step();
            if (finishEveryEvent) Finish();
        };
        NetSocket s[5];
        for (NetSocket &x : s) event([&] { x = Connect(); });
        Bytes torn = Message({4, "b", 9, 6});
        event([&] { Send(s[0], Message({2, "b", 9, 5})); });
        event([&] { Send(s[1], Message({0, "a", 9, 3})); });
        event([&] { Send(s[2], Join({Message({1, "b", 9, 4}), Bytes(torn.begin(), torn.begin() + 300)})); });
        event([&] { Send(s[3], BadSignature({7, "a"})); });
        event([&] { Send(s[4], Message({2, "b", 9, 1})); });  // a reconnected CPU 2: the older connection goes
        event([&] { Send(s[1], Message({0, "a", 9, 8})); });
        event([&] {
            PeerCloses(s[3]);
            ServerSocketEvent(table, host, s[3], SocketEvent::Close);
        });
        event([&] { Send(s[2], Bytes(torn.begin() + 300, torn.end())); });
        Finish();
        Run run{report.refreshes, report.html, {}};
        for (uint32_t i = 0; i < table.count; ++i) run.cpus.push_back(ClientAt(table, i).record.cpuIndex);
        EXPECT_TRUE(Closed(s[0]));
        ReleaseClients(table);
        table = ClientTable{};
        net.closed.clear();  // the next run may get the same socket numbers
        return run;
    };
    Run each = play(true);
    Run batch = play(false);
    EXPECT_EQ(batch.refreshes, 1);
    EXPECT_EQ(each.refreshes, 7) << "every stored message and every removal asks for one";
    EXPECT_EQ(batch.cpus, (std::vector<int32_t>{0, 2, 4}));
    EXPECT_EQ(batch.cpus, each.cpus);
    EXPECT_EQ(batch.html, each.html);
    EXPECT_NE(batch.html.find("<td>5</td><td>2</td>"), std::string::npos) << batch.html;
}

// The run tracker fed as the front ends feed it: the report of the table at
// every refresh, and the CPUs that left since the last one.
struct TrackedRefresh {
    const ClientTable *table = nullptr;
    RunTracker tracker;
    uint64_t now = 133000000000000000ULL;
    size_t rowsShown = 0;  // rows of the latest report
    std::vector<RunEntry> stored;
};
void TrackAtRefresh(void *context) {
    auto &t = *static_cast<TrackedRefresh *>(context);
    ReportData data;
    ComputeReport(*t.table, t.now, data);
    t.rowsShown = data.rows.size();
    std::vector<RunJobInfo> info(data.jobs.size());
    for (const CpuRow &row : data.rows) info[row.job - 1].identity = JobIdentityBytes(*row.record);
    std::vector<DepartedCpu> departed;
    for (const StatusRecord &r : DepartedClients(*t.table)) departed.push_back({&r, {"job", JobIdentityBytes(r), {}, {}}});
    std::vector<RunEntry> changed = t.tracker.Observe(data, info, departed);
    t.stored.insert(t.stored.end(), changed.begin(), changed.end());
    t.now += 10000000;  // a second later
}

// A render node ends right after its last pass: the last message and the
// close arrive together and are handled in one batch. The run still counts
// every pass, however the close is notified, and completes, or is interrupted
// at once when the passes fall short, while the report shows the gone CPUs no
// more.
TEST_F(ClientTableTest, LastPassAndCloseInOneBatchStillReachTheRunTracker) {
    constexpr int kCpus = 4, kPasses = 4;
    auto message = [](int32_t cpu, uint32_t done) {
        StatusRecord r = RecordOf({cpu, "shot", 1000, done, 30000000});
        r.totalPasses = kCpus * kPasses;
        r.startTime = r.passStartTime = 132999000000000000ULL + static_cast<uint64_t>(cpu);
        r.elapsedTime = 30000000 * static_cast<int64_t>(done);
        return Encode(r);
    };
    struct Case {
        bool closeNotice;  // Linux reads the end of stream; Windows gets a close notice
        uint32_t lastDone;
        const char *outcome;
        size_t forecasts;
    };
    const Case cases[] = {
        {false, kPasses, "complete", kForecastPercents.size()},
        {true, kPasses, "complete", kForecastPercents.size()},
        {false, kPasses - 1, "interrupted", 4},  // 75% done
        {true, kPasses - 1, "interrupted", 4},
    };
    for (const Case &c : cases) {
        const std::string what = std::string(c.closeNotice ? "close notice, " : "end of stream, ") + c.outcome;
        TrackedRefresh track;
        track.table = &table;
        host = {&track, nullptr, TrackAtRefresh, nullptr};
        NetSocket s[kCpus];
        for (NetSocket &x : s) x = Connect();
        for (uint32_t done = 0; done < c.lastDone; ++done) {
            for (int k = 0; k < kCpus; ++k) Send(s[k], message(k, done));
            Finish();
        }
        for (int k = 0; k < kCpus; ++k) {
            Arrive(s[k], message(k, c.lastDone));
            PeerCloses(s[k]);
            if (c.closeNotice) {
                ServerSocketEvent(table, host, s[k], SocketEvent::Close);
            } else {
                Read(s[k]);
                Read(s[k]);
            }
        }
        ASSERT_EQ(table.count, 0u) << what;
        ASSERT_EQ(Finish(), 1) << what;
        EXPECT_EQ(track.rowsShown, 0u) << what;
        EXPECT_TRUE(DepartedClients(table).empty()) << what << ": the batch's refresh has seen them";
        ASSERT_FALSE(track.stored.empty()) << what;
        const RunEntry &run = track.stored.back();
        EXPECT_EQ(run.passesDone, uint64_t{kCpus * c.lastDone}) << what;
        EXPECT_EQ(RunOutcomeName(run.outcome), std::string(c.outcome)) << what;
        EXPECT_EQ(run.endedAt, track.now - 10000000) << what << ": ends at the refresh that saw the last passes";
        EXPECT_EQ(run.peakCpus, uint32_t{kCpus}) << what;
        EXPECT_EQ(run.forecasts.size(), c.forecasts) << what;
        ReleaseClients(table);
        table = ClientTable{};
        net.closed.clear();
    }
}

// A record that cannot be true is counted, and shown as it came.
TEST_F(ClientTableTest, RecordsThatCannotBeTrueAreCountedAndStillShown) {
    StatusRecord sound = RecordOf({3});
    sound.startTime = sound.passStartTime = NowFileTime() - 1000;
    sound.elapsedTime = 1000;
    StatusRecord odd = sound;
    odd.cpuIndex = -2;
    NetSocket a = Connect(), b = Connect();
    Send(a, Encode(sound));
    Send(b, Encode(odd));
    Finish();
    EXPECT_EQ(table.recordsImplausible, 1u);
    EXPECT_EQ(table.messagesAccepted, 2u);
    ASSERT_NE(Find(b), -1);
    EXPECT_EQ(Rec(b).cpuIndex, -2);
}

TEST_F(ClientTableTest, ReconnectedCpuReplacesItsOldConnection) {
    NetSocket old = Connect();
    Send(old, Message({2, "job", 1, 10}));
    NetSocket fresh = Connect();
    EXPECT_EQ(table.count, 2u);
    Send(fresh, Message({2, "job", 1, 11}));
    EXPECT_EQ(Order(), (std::vector<NetSocket>{fresh}));
    EXPECT_TRUE(Closed(old));
    EXPECT_EQ(Rec(fresh).passesDone, 11u);
}

TEST_F(ClientTableTest, PruneDropsConnectionsWhosePendingErrorCannotBeRead) {
    NetSocket a = Connect();
    Send(a, Message({0}));
    NetSocket dead = Connect(kDeadSocket);  // the prune after this accept drops it at once
    EXPECT_EQ(Find(dead), -1);
    EXPECT_TRUE(Closed(dead));

    // A recheck (any notification the front end does not name) prunes the whole table.
    Vanish(a);
    ServerSocketEvent(table, host, kListener, SocketEvent::Recheck);
    EXPECT_EQ(table.count, 0u);
}

#ifndef _WIN32
// A connection attempt that was refused leaves ECONNREFUSED pending on the socket.
TEST_F(ClientTableTest, PruneDropsConnectionsWithAPendingSocketError) {
    NetSocket probe = NetListen(0, 1, false);
    ASSERT_NE(probe, kNoNetSocket);
    uint16_t port = NetLocalPort(probe);
    kDefaultNetCalls.close(probe);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    pollfd p{fd, POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);

    NetSocket live = Connect();
    Send(live, Message({1}));
    net.pendingAccepts.push_back(fd);
    AcceptClient(table, host, kListener);  // no prune yet
    ASSERT_EQ(table.count, 2u);
    ServerSocketEvent(table, host, live, SocketEvent::Read);  // nothing to read
    Finish();  // the batch's end scans every connection
    EXPECT_EQ(Order(), (std::vector<NetSocket>{live}));
    EXPECT_TRUE(Closed(fd));
}
#endif


// A batch's end checks a slice of the connections for failures, in turn, so a large table costs the same per batch.
TEST_F(ClientTableTest, BatchEndsCheckFailedConnectionsInTurn) {
    const uint32_t n = kErrorChecksPerBatch + 20;
    for (uint32_t i = 0; i < n; ++i) Connect();
    ASSERT_EQ(table.count, n);
    NetSocket failed = ClientAt(table, n - 1).record.socket;
    Vanish(failed);

    Finish();
    EXPECT_EQ(table.count, n) << "the first batch end checks the first slice only";
    Finish();
    EXPECT_EQ(table.count, n - 1) << "the second one reaches the rest";
    EXPECT_EQ(Find(failed), -1);
    EXPECT_TRUE(Closed(failed));
}
// Random scripted events against a simple model of what the table must hold.
TEST_F(ClientTableTest, RandomEventsMatchAModel) {
    struct Sent {
        Bytes bytes;
        bool valid;
        Report r;
        size_t delivered;
    };
    struct Conn {
        NetSocket s;
        uint64_t seq;
        bool hasData = false;
        Bytes last{};  // last valid message
        int32_t cpu = 0;
        std::string scene{};
        std::vector<Sent> torn{};  // at most one message still arriving
    };
    std::mt19937 rng(7);
    std::vector<Conn> model;
    uint64_t seq = 0, accepted = 0, rejected = 0;
    const char *scenes[] = {"a", "b"};
    auto apply = [&](Conn &c, const Sent &m) {
        if (!m.valid) {
            ++rejected;
            return;
        }
        ++accepted;
        c.hasData = true, c.last = m.bytes, c.cpu = m.r.cpu, c.scene = m.r.scene;
    };

    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        unsigned op = rng() % 10;
        if (op < 2 || model.empty()) {
            model.push_back({Connect(), seq++});
        } else if (op < 9) {
            Conn &c = model[rng() % model.size()];
            Bytes piece;
            if (!c.torn.empty()) {
                const Sent &t = c.torn.back();
                piece.assign(t.bytes.begin() + static_cast<long>(t.delivered), t.bytes.end());
                apply(c, t);
                c.torn.clear();
            }
            bool valid = rng() % 4 != 0;
            Report r{static_cast<int32_t>(rng() % 4), scenes[rng() % 2], 9, static_cast<uint32_t>(step)};
            Sent m{valid ? Message(r) : BadSignature(r), valid, r, kMessageLength};
            if (rng() % 3 == 0) m.delivered = 1 + rng() % (kMessageLength - 1);
            piece.insert(piece.end(), m.bytes.begin(), m.bytes.begin() + static_cast<long>(m.delivered));
            if (m.delivered == kMessageLength)
                apply(c, m);
            else
                c.torn.push_back(m);
            Send(c.s, piece);
        } else {
            size_t k = rng() % model.size();
            PeerCloses(model[k].s);
            Read(model[k].s);
            model.erase(model.begin() + static_cast<long>(k));
        }
        // The model's prune: of two reporting connections for the same CPU and scene, the older goes.
        for (bool again = true; again;) {
            again = false;
            for (size_t i = 0; i < model.size() && !again; ++i)
                for (size_t j = 0; j < model.size() && !again; ++j)
                    if (i != j && model[i].hasData && model[j].hasData && model[i].cpu == model[j].cpu &&
                        model[i].scene == model[j].scene && model[i].seq < model[j].seq) {
                        model.erase(model.begin() + static_cast<long>(i));
                        again = true;
                    }
        }

        ASSERT_EQ(table.count, model.size());
        for (uint32_t k = 1; k < table.count; ++k)
            ASSERT_LE(CompareClients(ClientAt(table, k - 1), ClientAt(table, k)), 0) << "unsorted at " << k;
        for (const Conn &c : model) {
            int at = Find(c.s);
            ASSERT_GE(at, 0);
            const ClientEntry &e = ClientAt(table, static_cast<uint32_t>(at));
            ASSERT_EQ(e.record.hasData != 0, c.hasData);
            ASSERT_EQ(e.fill, c.torn.empty() ? 0u : c.torn.back().delivered);
            if (c.hasData) {
                ASSERT_EQ(Encode(e.record), c.last);
            }
        }
        ASSERT_EQ(table.messagesAccepted, accepted);
        ASSERT_EQ(table.messagesRejected, rejected);
    }
}


// --- Silent peers, by an injected monotonic clock ---

uint64_t g_clockNs = 0;
uint64_t TestClock() { return g_clockNs; }
constexpr uint64_t kSecondNs = 1000000000;
constexpr int64_t kSecondTicks = 10000000;

class ClientTimesTest : public ClientTableTest {
protected:
    void SetUp() override {
        ClientTableTest::SetUp();
        g_clockNs = 1000 * kSecondNs;
        table.clock = TestClock;
    }
    // Time passes to seconds after the start, then the once-a-second check runs.
    void CheckAt(double seconds, uint32_t stallSeconds = 600) {
        g_clockNs = 1000 * kSecondNs + static_cast<uint64_t>(seconds * 1e9);
        CheckClientTimes(table, host, stallSeconds);
    }
    ReportData Report(uint32_t stallSeconds) {
        ReportData data;
        ComputeReport(table, 133000000000000000ULL, data, {g_clockNs, stallSeconds});
        return data;
    }
};

// A connection that never completes a message, or holds part of one, goes after the wait; CPUs never do for silence.
TEST_F(ClientTimesTest, ConnectionsWithoutAWholeMessageCloseAfterTheWait) {
    const Bytes m = Message({1});
    NetSocket silent = Connect();
    NetSocket torn = Connect();
    Send(torn, Bytes(m.begin(), m.begin() + 100));
    NetSocket late = Connect();
    NetSocket cpu = Connect();
    Send(cpu, Message({2}));
    NetSocket cpuTorn = Connect();
    Send(cpuTorn, Message({3}));
    CheckAt(30);
    Send(cpuTorn, Bytes(m.begin(), m.begin() + 10));  // the start of its next message, then nothing
    CheckAt(59);
    Send(late, m);  // its first message just in time
    Send(torn, Bytes(m.begin() + 100, m.begin() + 200));  // more bytes do not restart the wait
    struct Step {
        double at;
        std::vector<NetSocket> open;
    };
    const Step steps[] = {
        {59.9, {silent, torn, late, cpu, cpuTorn}},
        {60, {late, cpu, cpuTorn}},
        {89.9, {late, cpu, cpuTorn}},
        {90, {late, cpu}},
        {5000, {late, cpu}},
    };
    for (const Step &step : steps) {
        CheckAt(step.at);
        std::vector<NetSocket> open = Order();
        std::sort(open.begin(), open.end());
        std::vector<NetSocket> want = step.open;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(open, want) << "at " << step.at << " s";
    }
    EXPECT_TRUE(Closed(silent) && Closed(torn) && Closed(cpuTorn));
    EXPECT_EQ(Finish(), 1) << "the closes ask for a refresh";
}

TEST_F(ClientTimesTest, ShorterTestTimeoutsShortenEveryWait) {
    struct Case {
        uint32_t testSeconds, idle, interval, probes, wait;
    };
    const Case cases[] = {{0, 60, 10, 3, 60}, {1, 1, 1, 3, 1}, {6, 6, 1, 3, 6}, {30, 30, 5, 3, 30}, {60, 60, 10, 3, 60}};
    for (const Case &c : cases) {
        const PeerTimeouts t = PeerTimeoutsFor(c.testSeconds);
        EXPECT_EQ((std::vector<uint32_t>{t.keepAliveIdleSeconds, t.keepAliveIntervalSeconds, t.keepAliveProbes,
                                         t.messageWaitSeconds}),
                  (std::vector<uint32_t>{c.idle, c.interval, c.probes, c.wait}))
            << "test seconds " << c.testSeconds;
    }
    table.peer = PeerTimeoutsFor(5);
    NetSocket s = Connect();
    CheckAt(4.9);
    EXPECT_EQ(table.count, 1u);
    CheckAt(5);
    EXPECT_TRUE(Closed(s));
}

TEST(StallRule, SilentLongerThanBothTheStallTimeAndThreeRecentPasses) {
    struct Case {
        uint32_t stallSeconds;
        int64_t recentTicks;
        double silentSeconds;
        bool hasData;
        bool stalled;
    };
    const int64_t huge = INT64_MAX;
    const Case cases[] = {
        {600, 60 * kSecondTicks, 600, true, false},     // exactly the stall time: not yet
        {600, 60 * kSecondTicks, 600.001, true, true},  // past it, and past 3 x 60 s
        {10, 60 * kSecondTicks, 180, true, false},      // past the stall time, not past 3 passes
        {10, 60 * kSecondTicks, 180.001, true, true},
        {600, 300 * kSecondTicks, 899, true, false},    // a slow CPU gets 3 of its passes
        {600, 300 * kSecondTicks, 901, true, true},
        {10, 0, 10.5, true, true},                      // no pass time yet: the stall time alone
        {10, -5, 10.5, true, true},
        {10, huge, 1e9, true, false},                   // a pass time beyond scaling never stalls
        {10, 0, 1e6, false, false},                     // no message yet: a connection, not a CPU
        {0, 0, 1e6, true, false},                       // no stall time: never
        {10, 0, -5, true, false},                       // a clock behind the receipt
    };
    for (const Case &c : cases) {
        ClientEntry e{};
        e.record.hasData = c.hasData ? 1 : 0;
        e.record.recentPassTime = c.recentTicks;
        e.receivedAt = 1000000 * kSecondNs;
        const uint64_t now = static_cast<uint64_t>(static_cast<double>(e.receivedAt) + c.silentSeconds * 1e9);
        EXPECT_EQ(IsStalled(e, now, c.stallSeconds), c.stalled)
            << "stall " << c.stallSeconds << " s, recent " << c.recentTicks << " ticks, silent " << c.silentSeconds
            << " s, data " << c.hasData;
    }
}

// A silent CPU leaves its job's throughput but stays counted; the check refreshes once; a report brings it back.
TEST_F(ClientTimesTest, StalledCpuLeavesTheThroughputAndRejoinsWhenItReports) {
    NetSocket a = Connect(), b = Connect(), other = Connect();
    Send(a, Message({0, "shot", 1, 5, 2 * kSecondTicks}));
    Send(b, Message({1, "shot", 1, 5, 4 * kSecondTicks}));
    Send(other, Message({0, "other", 1, 5, 1 * kSecondTicks}));
    Finish();
    const int refreshes = log.refreshes;
    // Only a keeps reporting.
    for (int t = 1; t <= 20; ++t) {
        Send(a, Message({0, "shot", 1, static_cast<uint32_t>(5 + t), 2 * kSecondTicks}));
        Send(other, Message({0, "other", 1, static_cast<uint32_t>(5 + t), 1 * kSecondTicks}));
        CheckAt(t, 10);
        Finish();
        const ReportData data = Report(10);
        ASSERT_EQ(data.jobs.size(), 2u);
        const bool stalled = t > 12;  // silent past 10 s and past 3 x b's 4 s
        const JobStats &shot = data.jobs[1];  // "shot" sorts after "other"
        EXPECT_EQ(shot.stalledCpus, stalled ? 1u : 0u) << "at " << t << " s";
        EXPECT_EQ(shot.cpuCount, 2u);
        EXPECT_DOUBLE_EQ(shot.throughput, stalled ? 1.0 / (2 * kSecondTicks) : 1.0 / (2 * kSecondTicks) + 1.0 / (4 * kSecondTicks))
            << "at " << t << " s";
        EXPECT_EQ(data.jobs[0].stalledCpus, 0u);
        EXPECT_DOUBLE_EQ(data.jobs[0].throughput, 1.0 / kSecondTicks) << "the other job is untouched";
        EXPECT_EQ(data.overall.activeCpus, 3u);
        EXPECT_EQ(data.overall.stalledCpus, stalled ? 1u : 0u);
        EXPECT_EQ(data.rows[static_cast<size_t>(Find(b))].stalled, stalled);
        EXPECT_EQ(log.stalled, stalled ? std::vector<NetSocket>{b} : std::vector<NetSocket>{})
            << "announced once, when it became stalled; at " << t << " s";
    }
    // Each second's events refreshed; the stall itself added nothing more, and not every second after.
    EXPECT_EQ(log.refreshes - refreshes, 20);
    CheckAt(20.5, 10);
    EXPECT_EQ(Finish(), 0) << "a CPU that stays stalled asks for nothing";
    Send(b, Message({1, "shot", 1, 9, 4 * kSecondTicks}));
    const ReportData back = Report(10);
    EXPECT_EQ(back.overall.stalledCpus, 0u);
    EXPECT_DOUBLE_EQ(back.jobs[1].throughput, 1.0 / (2 * kSecondTicks) + 1.0 / (4 * kSecondTicks));
    EXPECT_EQ(Finish(), 1);
    CheckAt(21, 10);
    EXPECT_EQ(Finish(), 0) << "rejoining was the message's refresh";
    // A farm gone silent is noticed by the check alone.
    CheckAt(40, 10);
    EXPECT_EQ(Finish(), 1);
    EXPECT_EQ(Report(10).overall.stalledCpus, 3u);
    // b again, after it reported: a new stall; each of the others once.
    std::vector<NetSocket> announced = log.stalled;
    std::sort(announced.begin() + 1, announced.end());
    std::vector<NetSocket> want = {b, a, b, other};
    std::sort(want.begin() + 1, want.end());
    EXPECT_EQ(announced, want);
    CheckAt(41, 10);
    EXPECT_EQ(log.stalled.size(), 4u) << "no second announcement while they stay stalled";
}

// The keepalive options are set on every accepted connection (both platforms).
TEST_F(ClientTableTest, AcceptedConnectionsGetKeepalive) {
    table.peer = PeerTimeoutsFor(6);
    NetSocket s = Connect();
    EXPECT_TRUE(NetKeepAliveOn(s));
#ifndef _WIN32
    const auto option = [&](int name) {
        int v = 0;
        socklen_t len = sizeof v;
        EXPECT_EQ(getsockopt(static_cast<int>(s), IPPROTO_TCP, name, &v, &len), 0);
        return v;
    };
    EXPECT_EQ((std::vector<int>{option(TCP_KEEPIDLE), option(TCP_KEEPINTVL), option(TCP_KEEPCNT),
                                option(TCP_USER_TIMEOUT)}),
              (std::vector<int>{6, 1, 3, 9000}));
#endif
}

// The status port's rules: connections per peer address, the allowed networks, and silent
// connections making room when descriptors run short.

// A flood from one address past MaxCpusPerAddress beside a new CPU from another: the
// newcomer is taken and counted, the flood's excess closed at once and counted.
TEST_F(ClientTableTest, FloodFromOneAddressPastTheLimitLeavesRoomForAnother) {
    table.maxPerAddress = 8;
    std::vector<NetSocket> kept, refused;
    for (int i = 0; i < 20; ++i) {
        NetSocket s = kNoNetSocket;
        const AcceptOutcome outcome = ConnectFrom("10.0.0.2", s);
        (outcome == AcceptOutcome::Accepted ? kept : refused).push_back(s);
        if (outcome != AcceptOutcome::Accepted) {
            EXPECT_EQ(outcome, AcceptOutcome::Refused);
        }
    }
    EXPECT_EQ(kept.size(), 8u);
    EXPECT_EQ(table.refused.perAddress, 12u);
    EXPECT_EQ(Finish(), 1) << "the counters are shown";
    EXPECT_EQ(table.nextSeq, 8u) << "refused connections are no clients";
    for (NetSocket s : refused) {
        EXPECT_TRUE(Closed(s));
        EXPECT_EQ(std::count(log.watched.begin(), log.watched.end(), s), 0) << "a refused connection is never watched";
    }
    NetSocket newcomer = kNoNetSocket;
    ASSERT_EQ(ConnectFrom("10.0.0.3", newcomer), AcceptOutcome::Accepted);
    Send(newcomer, Message({4, "shot", 1000, 7}));
    EXPECT_EQ(table.messagesAccepted, 1u);
    EXPECT_EQ(Rec(newcomer).passesDone, 7u);
    EXPECT_EQ(Finish(), 1);

    // A connection of the flood that closes frees its place for the next from that address.
    PeerCloses(kept[0]);
    ServerSocketEvent(table, host, kept[0], SocketEvent::Close);
    EXPECT_EQ(ConnectFrom("10.0.0.2", kept[0]), AcceptOutcome::Accepted);
    NetSocket past = kNoNetSocket;
    EXPECT_EQ(ConnectFrom("10.0.0.2", past), AcceptOutcome::Refused);
    EXPECT_EQ(table.refused.perAddress, 13u);
    EXPECT_EQ(table.refused.network + table.refused.descriptors, 0u);
    EXPECT_EQ(table.count, 9u);
}

// A table without a limit (0) takes any number from one address.
TEST_F(ClientTableTest, NoLimitPerAddressWhenNoneIsSet) {
    for (int i = 0; i < 12; ++i) EXPECT_NE(Find(ConnectFrom("10.0.0.2")), -1);
    EXPECT_EQ(table.refused.perAddress, 0u);
}

TEST_F(ClientTableTest, OnlyPeersInTheAllowedNetworksAreTaken) {
    table.networks = ParseStatusNetworks("10.20.0.0/16, 192.168.5.0/24").filter;
    const std::pair<const char *, bool> peers[] = {
        {"10.20.3.4", true},      {"10.21.0.1", false},   {"192.168.5.255", true},
        {"192.168.6.1", false},   {"10.20.255.255", true}, {"127.0.0.1", false},
    };
    for (const auto &[address, taken] : peers) {
        NetSocket s = kNoNetSocket;
        EXPECT_EQ(ConnectFrom(address, s), taken ? AcceptOutcome::Accepted : AcceptOutcome::Refused) << address;
        EXPECT_EQ(Find(s) != -1, taken) << address;
        EXPECT_EQ(Closed(s), !taken) << address;
    }
    Connect();  // a peer whose address is not known as IPv4
    EXPECT_EQ(table.count, 3u) << "an unknown peer is outside every network";
    EXPECT_EQ(table.refused.network, 4u);

    // No list: anyone, an unknown peer too; a list with no network left: no one.
    table.networks = AddressFilter{};
    Connect();
    EXPECT_EQ(table.count, 4u);
    table.networks = ParseStatusNetworks("10.300.0.0/16").filter;
    NetSocket refused = kNoNetSocket;
    EXPECT_EQ(ConnectFrom("10.20.3.4", refused), AcceptOutcome::Refused);
    EXPECT_EQ(table.refused.network, 5u);
}

// Descriptors short: silent connections go oldest first; what a silent one sent already is
// read first; a CPU that has reported is never closed to make room.
TEST_F(ClientTableTest, ShortDescriptorsCloseSilentConnectionsOldestFirst) {
    const Bytes m = Message({9});
    NetSocket cpuA = Connect();
    Send(cpuA, Message({1}));
    NetSocket silent1 = Connect();
    NetSocket torn = Connect();
    Send(torn, Bytes(m.begin(), m.begin() + 100));  // part of a message: still silent
    NetSocket waiting = Connect();
    Arrive(waiting, m);  // its first message is there but not read yet
    NetSocket silent2 = Connect();
    NetSocket cpuB = Connect();
    Send(cpuB, Message({2}));
    NetSocket gone = Connect();
    PeerCloses(gone);  // closed by its peer, the notification not handled yet

    EXPECT_EQ(MakeRoomForClient(table, host), 1);
    EXPECT_TRUE(Closed(silent1));
    EXPECT_EQ(MakeRoomForClient(table, host), 1);
    EXPECT_TRUE(Closed(torn));
    EXPECT_EQ(table.refused.descriptors, 2u);
    // The one with a message waiting reports instead, and the next oldest goes.
    EXPECT_EQ(MakeRoomForClient(table, host), 1);
    EXPECT_FALSE(Closed(waiting));
    EXPECT_EQ(Rec(waiting).cpuIndex, 9);
    EXPECT_TRUE(Closed(silent2));
    EXPECT_EQ(table.refused.descriptors, 3u);
    // A connection its peer closed makes room without being counted.
    EXPECT_EQ(MakeRoomForClient(table, host), 1);
    EXPECT_TRUE(Closed(gone));
    EXPECT_EQ(table.refused.descriptors, 3u);
    // Only CPUs that reported are left: none of them makes room.
    EXPECT_EQ(MakeRoomForClient(table, host), 0);
    std::vector<NetSocket> left = Order();
    std::sort(left.begin(), left.end());
    std::vector<NetSocket> want = {cpuA, cpuB, waiting};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(left, want);
    EXPECT_EQ(table.messagesAccepted, 3u);
    EXPECT_EQ(Finish(), 1);
}

// What a platform at its descriptor ceiling does: the silent flood from two addresses
// turns over, oldest first, while a CPU from a third address is taken, reports and stays.
TEST_F(ClientTableTest, SilentFloodAtTheCeilingNeverPushesOutAReportingCpu) {
    constexpr uint32_t kCeiling = 16;  // clients the platform's descriptors allow
    table.maxPerAddress = 1024;
    const auto acceptAtCeiling = [&](const char *address) {
        if (table.count >= kCeiling) {
            EXPECT_EQ(MakeRoomForClient(table, host), 1) << "a silent connection makes room";
        }
        NetSocket s = kNoNetSocket;
        EXPECT_EQ(ConnectFrom(address, s), AcceptOutcome::Accepted);
        return s;
    };
    std::vector<NetSocket> flood;
    for (int i = 0; i < 40; ++i) flood.push_back(acceptAtCeiling(i % 2 ? "10.0.0.2" : "10.0.0.4"));
    NetSocket cpu = acceptAtCeiling("10.0.0.3");
    Send(cpu, Message({5, "shot", 1000, 3}));
    for (int i = 0; i < 40; ++i) flood.push_back(acceptAtCeiling(i % 2 ? "10.0.0.2" : "10.0.0.4"));
    EXPECT_EQ(table.count, kCeiling);
    EXPECT_NE(Find(cpu), -1);
    EXPECT_FALSE(Closed(cpu));
    EXPECT_EQ(Rec(cpu).passesDone, 3u);
    EXPECT_EQ(table.messagesAccepted, 1u);
    EXPECT_EQ(table.refused.descriptors, 80u + 1 - kCeiling);
    // The flood went oldest first: its newest are the ones left.
    for (size_t i = 0; i < flood.size(); ++i) EXPECT_EQ(Find(flood[i]) != -1, i >= flood.size() - (kCeiling - 1)) << i;
    EXPECT_EQ(Finish(), 1);
}

// An accept that fails for want of descriptors says so, and takes nothing.
TEST_F(ClientTableTest, AcceptWithoutDescriptorsSaysSo) {
    EXPECT_EQ(ServerAccept(table, host, kListener), AcceptOutcome::NoneWaiting);
    net.noDescriptors = true;
    EXPECT_EQ(ServerAccept(table, host, kListener), AcceptOutcome::NoDescriptors);
    EXPECT_EQ(table.count, 0u);
}

}  // namespace
