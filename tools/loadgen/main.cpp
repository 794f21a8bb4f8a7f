// loadgen: opens as many connections as its descriptor limit allows to a status server as synthetic render CPUs of several jobs, sends them at a set rate or flat out, and reports what was sent, accepted and shown.
#include "load.h"
#include "net.h"
#include "tool_support.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

// The descriptor limit decides how many connections there can be (checked
// below); this only keeps the numbers sane.
constexpr uint32_t kMaxConnections = 1000000;

void Print(const LoadConfig &cfg, const LoadReport &r) {
    std::printf("connections=%u\njobs=%u\nrate=%g\nchunking=%s\n", r.connected, cfg.jobs, cfg.rate,
                cfg.randomChunks ? "random" : "whole");
    std::printf("connectSeconds=%.3f\nsent=%llu\nwindowSeconds=%.3f\nsentInWindow=%llu\nsendRate=%.0f\n",
                r.connectSeconds, static_cast<unsigned long long>(r.sent), r.windowSeconds,
                static_cast<unsigned long long>(r.sentInWindow),
                r.windowSeconds > 0 ? static_cast<double>(r.sentInWindow) / r.windowSeconds : 0.0);
    std::printf("closedByServer=%llu\nsendErrors=%llu\n", static_cast<unsigned long long>(r.closedByServer),
                static_cast<unsigned long long>(r.sendErrors));
    if (r.firstReportsShownMs) std::printf("firstReportsShownMs=%.1f\n", *r.firstReportsShownMs);
    if (r.serverAccepted) {
        std::printf("serverAccepted=%llu\nlost=%lld\n", static_cast<unsigned long long>(*r.serverAccepted),
                    static_cast<long long>(r.sent) - static_cast<long long>(*r.serverAccepted));
    }
    if (r.serverAcceptedInWindow) {
        std::printf("serverAcceptedInWindow=%llu\nserverRate=%.0f\n",
                    static_cast<unsigned long long>(*r.serverAcceptedInWindow),
                    r.windowSeconds > 0 ? static_cast<double>(*r.serverAcceptedInWindow) / r.windowSeconds : 0.0);
    }
    if (r.serverCpuPercent) std::printf("serverCpuPercent=%.1f\n", *r.serverCpuPercent);
    if (r.serverLoopCpuPercent) std::printf("serverLoopCpuPercent=%.1f\n", *r.serverLoopCpuPercent);
    std::printf("loadgenCpuPercent=%.1f\n", r.ownCpuPercent);
    if (!cfg.htmlFile.empty() || cfg.statusPort) {
        std::printf("latencyCount=%llu\nlatencyUnseen=%llu\nlatencyP50Ms=%.1f\nlatencyP99Ms=%.1f\nlatencyMaxMs=%.1f\n",
                    static_cast<unsigned long long>(r.latencyCount), static_cast<unsigned long long>(r.latencyUnseen),
                    r.latencyP50, r.latencyP99, r.latencyMax);
    }
    if (cfg.statusPort) {
        std::printf("requestCount=%llu\nrequestP50Ms=%.1f\nrequestP99Ms=%.1f\nrequestMaxMs=%.1f\n",
                    static_cast<unsigned long long>(r.requestCount), r.requestP50, r.requestP99, r.requestMax);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"loadgen: synthetic render CPUs for pellicksrv. Each connection is one CPU (CPU numbers\n"
                 "1..N, consecutive CPUs per job) that sends a first message at once, as a plug-in does,\n"
                 "then one per pass at --rate, or flat out. Prints key=value results. Linux only."};
    LoadConfig cfg;
    std::string server = "127.0.0.1";
    std::string portError;
    uint16_t port = DefaultStatusPort(portError);
    std::string chunking = "whole";
    std::string from;
    app.add_option("--server", server, "Server host name or dotted address");
    app.add_option("--from", from,
                   "The connections' own dotted IPv4 address (any of 127.0.0.0/8 on this machine), so one machine "
                   "can be several peers");
    app.add_flag("--silent", cfg.silent,
                 "Open the connections and send nothing on them: a flood of silent connections (with --hold, kept "
                 "open that long)");
    app.add_option("--port", port, "Server TCP port (default: PELLICK_TEST_PORT or " + std::to_string(STATUS_PORT) + ")")->check(CLI::Range(1, 65535));
    app.add_option("-c,--connections", cfg.connections, "Connections, one synthetic CPU each")
        ->check(CLI::Range(1u, kMaxConnections));
    app.add_option("-j,--jobs", cfg.jobs, "Jobs the CPUs render")->check(CLI::Range(1u, kMaxConnections));
    app.add_option("-r,--rate", cfg.rate, "Messages per second per CPU; 0 sends flat out")->check(CLI::Range(0.0, 1e6));
    app.add_option("-d,--duration", cfg.duration, "Seconds of sending once all connections are open")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("-m,--messages", cfg.messages, "Messages per connection, the first included (0: no limit)");
    app.add_option("--warmup", cfg.warmup, "Seconds left out of the measured window")->check(CLI::Range(0.0, 86400.0));
    app.add_option("--chunking", chunking, "whole: hand over whole buffers; random: random-sized pieces")
        ->check(CLI::IsMember({"whole", "random"}));
    app.add_option("--seed", cfg.seed, "Seed of the random chunking and the random order");
    app.add_flag("--random-order", cfg.randomOrder,
                 "Connection i reports a random CPU, so first reports land anywhere in the report's order");
    app.add_flag("--farm-times", cfg.farmTimes,
                 "With --html-file: time until the report shows every CPU after connecting (firstReportsShownMs), "
                 "and at the end close every connection at once (closeAllMs) and time from the last close until it "
                 "shows none (closedGoneMs)");
    app.add_option("--stats-file", cfg.statsFile,
                   "The server's --stats-file: counts what it accepted (losses, its ingestion rate)");
    app.add_option("--html-file", cfg.htmlFile,
                   "The server's HTML report: measures how long each message takes to show in its CPU's row");
    app.add_option("--status-port", cfg.statusPort,
                   "The server's dashboard port: measures how long each message takes to show in /status.json")
        ->check(CLI::Range(1, 65535));
    app.add_option("--server-pid", cfg.serverPid, "The server's process id, for its CPU use over the window");
    app.add_option("--settle", cfg.settle, "Seconds to wait after sending for the server to catch up")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--hold", cfg.hold, "Seconds to keep the connections open and idle before closing them")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--ready-file", cfg.readyFile, "File written when the hold begins");
    CLI11_PARSE(app, argc, argv);

    if (port == 0) {
        std::fprintf(stderr, "loadgen: %s\n", portError.c_str());
        return 2;
    }
    if (cfg.jobs > cfg.connections) cfg.jobs = cfg.connections;
    cfg.port = port;
    cfg.randomChunks = chunking == "random";
    if (!NetStartup() || !NetResolveIPv4(server.c_str(), &cfg.serverAddr)) {
        std::fprintf(stderr, "loadgen: cannot resolve %s\n", server.c_str());
        return 1;
    }
    if (!from.empty() && (!(from[0] >= '0' && from[0] <= '9') || !NetResolveIPv4(from.c_str(), &cfg.fromAddr))) {
        std::fprintf(stderr, "loadgen: --from %s is not a dotted IPv4 address\n", from.c_str());
        return 2;
    }
    uint64_t limit = RaiseDescriptorLimit();
    if (limit < uint64_t{cfg.connections} + 16) {
        std::fprintf(stderr, "loadgen: %u connections need %u descriptors; the limit is %llu\n", cfg.connections,
                     cfg.connections + 16, static_cast<unsigned long long>(limit));
        return 1;
    }

    LoadReport report;
    std::string error;
    cfg.measured = Print;  // before the hold, so the results can be read while the connections stay open
    int ok = RunLoad(cfg, report, error);
    if (!ok) {
        Print(cfg, report);
        std::fprintf(stderr, "loadgen: %s\n", error.c_str());
        return 1;
    }
    if (cfg.farmTimes && !cfg.htmlFile.empty()) {
        std::printf("closeAllMs=%.1f\n", report.closeAllMs);
        if (report.closedGoneMs)
            std::printf("closedGoneMs=%.1f\n", *report.closedGoneMs);
        else
            std::printf("closedGoneMs=unseen\n");
    }
    return 0;
}
