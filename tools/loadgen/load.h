// The load generator's engine: synthetic render CPUs on many connections, what they sent, and what the server made of it.
#pragma once

#include "status_record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LoadReport;

struct LoadConfig {
    uint32_t serverAddr = 0;  // IPv4, network byte order
    uint32_t fromAddr = 0;    // the connections' own IPv4 address, network byte order; 0: the system's choice
    bool silent = false;      // open the connections and send nothing on them (a silent flood)
    uint16_t port = 0;
    uint32_t connections = 100;  // synthetic CPUs, one connection each
    uint32_t jobs = 1;           // CPUs are split into this many jobs, consecutive CPUs per job
    double rate = 1.0;           // messages per second per CPU; 0 sends flat out
    double duration = 5.0;       // seconds of sending after all connections are open
    double warmup = 0.0;         // seconds at the start left out of rates, CPU use and latency
    uint32_t messages = 0;       // per connection, the first one included; 0: as many as the duration allows
    bool randomChunks = false;   // each send call hands over a random number of bytes
    bool randomOrder = false;    // connection i reports a random CPU, so first reports land anywhere in the report's order
    uint32_t seed = 1;
    std::string statsFile;       // the server's --stats-file: accepted messages, hence losses
    std::string htmlFile;        // the server's HTML report: time until each message shows
    uint16_t statusPort = 0;     // the server's dashboard: time until each message shows in /status.json
    long serverPid = 0;          // for the server's CPU use over the measured window
    double settle = 10.0;        // seconds to wait after sending for the server to catch up
    double hold = 0.0;           // seconds to keep the connections open and idle before closing
    std::string readyFile;       // written when the hold begins
    // With htmlFile: time the farm's arrival (until the report shows every
    // CPU) before sending on, and at the end close every connection at once
    // and time until the report shows none of them.
    bool farmTimes = false;
    // Called with the results once they are complete, before the hold.
    void (*measured)(const LoadConfig &config, const LoadReport &report) = nullptr;
};

struct LoadReport {
    uint32_t connected = 0;
    double connectSeconds = 0;
    uint64_t sent = 0;            // whole messages handed to the kernel
    uint64_t sentInWindow = 0;
    double windowSeconds = 0;
    uint64_t closedByServer = 0;  // connections the server closed
    uint64_t sendErrors = 0;
    std::optional<uint64_t> serverAccepted;          // accepted by the server during the run
    std::optional<uint64_t> serverAcceptedInWindow;  // accepted during the measured window
    std::optional<double> serverCpuPercent;          // of one core, over the window: the whole process
    std::optional<double> serverLoopCpuPercent;      // the same for its main thread, which runs the event loop
    double ownCpuPercent = 0;                        // this program's CPU use over the window
    // Send-to-report latency of the messages sent in the window, milliseconds.
    uint64_t latencyCount = 0;
    uint64_t latencyUnseen = 0;  // sent in the window, never shown
    double latencyP50 = 0, latencyP99 = 0, latencyMax = 0;
    // With a /status.json probe: the time from asking to the whole answer, milliseconds.
    uint64_t requestCount = 0;
    double requestP50 = 0, requestP99 = 0, requestMax = 0;
    // With farmTimes: from the last first message handed to the kernel until
    // the HTML report shows a row for every CPU (the farm's arrival) ...
    std::optional<double> firstReportsShownMs;
    // ... and from the last of the connections closed at once until it shows
    // none of them; closing them took closeAllMs.
    std::optional<double> closedGoneMs;
    double closeAllMs = 0;
};

// The record of synthetic CPU cpu (0-based, unique across jobs) of job job
// after seq counted passes at one pass per passSeconds.
StatusRecord SyntheticRecord(uint32_t cpu, uint32_t job, uint32_t seq, double passSeconds, uint64_t startTime,
                             uint64_t now);

// One CPU row of the HTML report: the CPU number shown (cpuIndex + 1) and its passes.
struct ReportRow {
    uint32_t cpu;
    uint32_t passes;
};
// The per-CPU rows of an HTML report; rows that do not start with four numbers are skipped.
std::vector<ReportRow> ParseReportRows(std::string_view html);
// The same from the dashboard's /status.json: each object of its "cpus" array.
std::vector<ReportRow> ParseStatusCpus(std::string_view json);

// The value at fraction q (0..1) of sorted values, nearest rank; 0 for none.
double Percentile(const std::vector<double> &sorted, double q);

// Runs the load. 1 on success; otherwise 0 with error set.
int RunLoad(const LoadConfig &config, LoadReport &report, std::string &error);
