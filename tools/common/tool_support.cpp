// Helpers shared by the load tools: the status port, the descriptor limit, stats files and process CPU time.
#include "tool_support.h"

#include "status_record.h"
#include "test_ports.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::optional<uint64_t> Number(const std::string &text) {
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

uint16_t DefaultStatusPort(std::string &error) {
    TestPorts ports;
    if (!ReadTestPorts(ports, error)) return 0;
    return ports.status.value_or(STATUS_PORT);
}

std::map<std::string, std::string> ReadStatsFile(const std::string &path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::optional<uint64_t> StatsCounter(const std::string &path, const std::string &key) {
    auto values = ReadStatsFile(path);
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return Number(it->second);
}

namespace {

std::optional<double> CpuSecondsOf(const std::string &statPath) {
    std::ifstream in(statPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: fields are counted after its closing parenthesis.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {  // field 3 is the state
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            long ticks = sysconf(_SC_CLK_TCK);
            return ticks > 0 ? std::optional<double>(static_cast<double>(utime + stime) / static_cast<double>(ticks))
                             : std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<double> ProcessCpuSeconds(long pid) { return CpuSecondsOf("/proc/" + std::to_string(pid) + "/stat"); }

std::optional<double> ThreadCpuSeconds(long pid, long tid) {
    return CpuSecondsOf("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
}

std::optional<uint64_t> ProcessResidentKiB(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return std::nullopt;
}
