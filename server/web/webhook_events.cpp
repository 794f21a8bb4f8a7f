// The webhook's cpu.stalled event: the CPU's row as the status document writes it, and its job.
#include "webhook_events.h"

#include "json_writer.h"
#include "status_json.h"
#include "wire_text.h"

#include <algorithm>

std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName) {
    std::string out;
    JsonWriter w(out);
    w.BeginObject();
    w.Member("event", "cpu.stalled");
    w.Key("cpu");
    WriteCpuJson(w, cpu);
    w.Key("job");
    w.BeginObject();
    w.Member("id", jobId);
    w.Member("number", jobNumber);
    w.Member("sceneName", sceneName);
    w.EndObject();
    w.EndObject();
    return out;
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
            NotifierPostBody(notifier, settings.webhook, "cpu.stalled",
                             CpuStalledEventJson(cpu, JobHexId(*row.record), row.job,
                                                 WireText(row.record->sceneName)));
        }
    }
    newlyStalled.clear();
}
