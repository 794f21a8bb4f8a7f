// Helpers shared by the load tools: the status port, stats files and process CPU time (and the platform's descriptor limit).
#pragma once

#include "descriptor_limit.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// STATUS_PORT, or the test-only port in PELLICK_TEST_PORT (common/test_ports.h);
// 0 with error saying why when that is not a port number.
uint16_t DefaultStatusPort(std::string &error);


// A key=value file as pellicksrv's --stats-file writes it; empty when unreadable.
std::map<std::string, std::string> ReadStatsFile(const std::string &path);
// One unsigned counter of such a file.
std::optional<uint64_t> StatsCounter(const std::string &path, const std::string &key);

// CPU time (user + system) used so far by process pid, in seconds; nothing when unreadable.
std::optional<double> ProcessCpuSeconds(long pid);
// The same for one thread of it (tid pid: its main thread).
std::optional<double> ThreadCpuSeconds(long pid, long tid);
// Resident memory of process pid in KiB; nothing when unreadable.
std::optional<uint64_t> ProcessResidentKiB(long pid);
