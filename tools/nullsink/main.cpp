// nullsink: the physical limit for status traffic on this machine: pellicksrv's event loop and socket calls, reading and discarding whole 750-byte messages.
#include "client_table.h"  // the socket event codes only
#include "clock.h"
#include "event_loop.h"
#include "files.h"
#include "net.h"
#include "status_record.h"
#include "tool_support.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// As pellicksrv: one receive takes up to this many bytes, and a peer that
// has closed is drained at most this far.
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kMaxDrainReads = 64;
constexpr uint32_t kAcceptPauseMs = 100;
// The stats file is rewritten at most this often while traffic flows.
constexpr uint64_t kStatsEveryNs = 50000000;

struct Sink {
    EventLoop loop;
    std::vector<uint16_t> fill;  // per descriptor: bytes of the message in progress
    uint64_t connections = 0;
    uint64_t clients = 0;
    uint64_t messages = 0;  // whole messages received
    std::string statsFile;
    bool changed = false;
    uint64_t nextStats = 0;
};

void WriteStats(const Sink &sink, const char *state) {
    if (sink.statsFile.empty()) return;
    std::string text = std::string("state=") + state + "\nconnections=" + std::to_string(sink.connections) +
                       "\nclients=" + std::to_string(sink.clients) +
                       "\nmessagesAccepted=" + std::to_string(sink.messages) + "\nmessagesRejected=0\n";
    WriteFileAtomic(sink.statsFile.c_str(), text.data(), text.size());
}

void Drop(Sink &sink, NetSocket s) {
    NetClose(s);
    --sink.clients;
}

// One receive: whole messages are counted, the rest waits for its next bytes.
// Returns what the receive gave; 0 when the peer closed (then dropped).
long ReceiveOnce(Sink &sink, NetSocket s) {
    uint8_t buffer[kReadChunk];
    long n = NetRecv(s, buffer, sizeof buffer);
    if (n == 0) {
        Drop(sink, s);
        return 0;
    }
    if (n < 0) return n;
    uint16_t &fill = sink.fill[static_cast<size_t>(s)];
    uint64_t bytes = fill + static_cast<uint64_t>(n);
    sink.messages += bytes / kMessageLength;
    fill = static_cast<uint16_t>(bytes % kMessageLength);
    return n;
}

void OnSocket(void *context, NetSocket s, SocketEvent event) {
    auto &sink = *static_cast<Sink *>(context);
    sink.changed = true;
    if (event == SocketEvent::Accept) {
        NetSocket c = NetAccept(s);
        if (c == kNoNetSocket) {
            EventLoopPauseAccepts(sink.loop, kAcceptPauseMs);
            return;
        }
        if (!EventLoopWatchClient(sink.loop, c)) {
            NetClose(c);
            return;
        }
        if (sink.fill.size() <= static_cast<size_t>(c)) sink.fill.resize(static_cast<size_t>(c) * 2 + 1);
        sink.fill[static_cast<size_t>(c)] = 0;
        ++sink.connections;
        ++sink.clients;
    } else if (event == SocketEvent::Read) {
        ReceiveOnce(sink, s);
    } else if (event == SocketEvent::Close) {
        for (int reads = 0; reads < kMaxDrainReads; ++reads) {
            long n = ReceiveOnce(sink, s);
            if (n == 0) return;
            if (n < 0) break;
        }
        Drop(sink, s);
    }
}

int OnBatchDone(void *context) {
    auto &sink = *static_cast<Sink *>(context);
    if (!sink.changed || sink.statsFile.empty()) return -1;
    uint64_t now = MonotonicNanos();
    if (now < sink.nextStats) return static_cast<int>((sink.nextStats - now) / 1000000 + 1);
    WriteStats(sink, "running");
    sink.changed = false;
    sink.nextStats = now + kStatsEveryNs;
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    BlockStopSignals();
    RaiseDescriptorLimit();

    CLI::App app{"nullsink: accepts status connections like pellicksrv and discards every whole\n"
                 "750-byte message, counting them; the ceiling pellicksrv's ingestion is measured against.\n"
                 "Ends on Ctrl+C (SIGINT) or SIGTERM. Linux only."};
    std::string portError;
    uint16_t port = DefaultStatusPort(portError);
    std::string statsFile;
    app.add_option("--port", port, "TCP port to listen on (default: PELLICK_TEST_PORT or " + std::to_string(STATUS_PORT) + ")")
        ->check(CLI::Range(1, 65535));
    app.add_option("--stats-file", statsFile,
                   "Keep the counters in this file (pellicksrv's format), rewritten at most every 50 ms and at exit");
    CLI11_PARSE(app, argc, argv);
    if (port == 0) {
        std::fprintf(stderr, "nullsink: %s\n", portError.c_str());
        return 2;
    }

    Sink sink;
    sink.statsFile = statsFile;
    NetSocket listener = NetListen(port, SOMAXCONN, false);
    if (listener == kNoNetSocket) {
        std::fprintf(stderr, "nullsink: cannot listen on TCP port %u: %s\n", port, std::strerror(errno));
        return 1;
    }
    int status = 1;
    if (!EventLoopOpen(sink.loop) || !EventLoopWatchListener(sink.loop, listener)) {
        std::fprintf(stderr, "nullsink: cannot set up the event loop: %s\n", std::strerror(errno));
    } else {
        WriteStats(sink, "running");
        status = EventLoopRun(sink.loop, {&sink, OnSocket, OnBatchDone}) ? 0 : 1;
    }
    EventLoopClose(sink.loop);
    NetClose(listener);
    WriteStats(sink, "stopped");
    std::printf("connections=%llu\nmessages=%llu\n", static_cast<unsigned long long>(sink.connections),
                static_cast<unsigned long long>(sink.messages));
    return status;
}
