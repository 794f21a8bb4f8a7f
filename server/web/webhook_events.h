// The server's webhook events as JSON, and the core thread's posting of stalled CPUs after a refresh.
#pragma once

#include "net.h"
#include "notifier.h"
#include "report.h"
#include "settings.h"
#include "snapshot.h"

#include <string>
#include <vector>

// {"event":"cpu.stalled","cpu":{...a row of /status.json cpus[]...},
//  "job":{"id":...,"number":...,"sceneName":...}}
std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName);

// Core thread, right after the refresh that built report: posts cpu.stalled
// to the settings' webhook for each CPU of newlyStalled (sockets CheckClientTimes
// named) that the report shows stalled, and empties newlyStalled. It also keeps
// the notifier's webhook (NotifierSetWebhook) that of the settings.
void PostStalledCpus(Notifier *notifier, const ServerSettings &settings, const StatusReport &report,
                     std::vector<NetSocket> &newlyStalled);
