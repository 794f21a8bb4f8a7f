// The webhook's cpu.stalled event: the CPU's row as the status document writes it, and its job.
#include "webhook_events.h"

#include "event_names.h"
#include "json_writer.h"
#include "status_json.h"
#include "wire_text.h"

#include <algorithm>

std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName) {
    std::string cpuJson, jobJson;
    JsonWriter c(cpuJson);
    WriteCpuJson(c, cpu);
    JsonWriter j(jobJson);
    j.BeginObject();
    j.Member("id", jobId);
    j.Member("number", jobNumber);
    j.Member("sceneName", sceneName);
    j.EndObject();
    return EventEnvelope(kEventCpuStalled, {{"cpu", cpuJson}, {"job", jobJson}});
}

void PostStalledCpus(Notifier *notifier, const ServerSettings &settings, const StatusReport &report,
                     std::vector<NetSocket> &newlyStalled) {
    // The history thread posts finished runs to the webhook the notifier holds.
    NotifierSetWebhook(notifier, settings.webhook);
    if (newlyStalled.empty()) return;
    if (notifier && settings.webhook[0]) {
        std::sort(newlyStalled.begin(), newlyStalled.end());
        const DisplayForm form = settings.Form();
        for (const CpuRow &row : report.data.rows) {
            if (!row.job || !row.stalled) continue;
            if (!std::binary_search(newlyStalled.begin(), newlyStalled.end(), row.record->socket)) continue;
            const WebCpu cpu = MakeWebCpu(row, form);
            NotifierPostBody(notifier, settings.webhook, kEventCpuStalled,
                             CpuStalledEventJson(cpu, JobHexId(*row.record), row.job,
                                                 WireText(row.record->sceneName)));
        }
    }
    newlyStalled.clear();
}
