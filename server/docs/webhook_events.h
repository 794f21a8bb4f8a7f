// The server's webhook events: their names and their bodies as JSON.
#pragma once

#include "snapshot.h"

#include <string>

// The events the webhook is told of.
inline constexpr const char *kEventCpuStalled = "cpu.stalled";
inline constexpr const char *kEventJobFinished = "job.finished";

// {"event":"cpu.stalled","cpu":{...a row of /status.json cpus[]...},
//  "job":{"id":...,"number":...,"sceneName":...}}
std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName);
