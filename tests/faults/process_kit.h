// Helpers of the fault tests: child processes (pellicksrv, hostsim), a work folder, and readers of the server's HTML, terminal and counter outputs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A started program: stdin from /dev/null, stdout and stderr into one file.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
          const fs::path &output);
    ~Child();  // kills a child still running
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int sig);
    // The exit code (128 + signal for a signalled end), or nothing when still running after timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool PollUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds every = std::chrono::milliseconds(20));

std::string ReadFile(const fs::path &path);
void WriteFile(const fs::path &path, const std::string &text);

// A port nobody listens on at this moment.
uint16_t FreePort();

// The per-CPU rows of the HTML fragment that carry data.
struct HtmlCpu {
    int cpu = 0, job = 0, frame = 0;
    uint64_t passes = 0;
    bool operator==(const HtmlCpu &) const = default;
};
std::vector<HtmlCpu> HtmlCpuRows(const std::string &html);
// Rows of connections without data ("0" in every number cell).
size_t HtmlEmptyRows(const std::string &html);
std::string Describe(const std::vector<HtmlCpu> &rows);

// One job's table: CPUs, passes rendered and total passes.
struct HtmlJob {
    uint64_t cpus = 0, done = 0, total = 0;
    bool operator==(const HtmlJob &) const = default;
};
std::vector<HtmlJob> HtmlJobs(const std::string &html);

// The last "Render Status" block pellicksrv --print wrote: label (without colon) to value.
std::map<std::string, std::string> LastTerminalBlock(const std::string &output);
size_t TerminalBlocks(const std::string &output);

// key=value lines of the server's --stats-file.
std::map<std::string, std::string> ReadStats(const fs::path &path);

// The body of an HTTP GET from 127.0.0.1:port, or nothing when there is no answer with status 200.
std::optional<std::string> HttpGet(uint16_t port, const std::string &path);
// The first unsigned number after "key": that follows from, or nothing.
std::optional<uint64_t> JsonNumberAfter(const std::string &json, const std::string &from, const std::string &key);

// Where the tests find the programs; set at build time.
struct Programs {
    static std::string Server();
    static std::string HostSim();
    static std::string Plugin();  // the tests' variant, which reads the test port and quiet time-out
};
