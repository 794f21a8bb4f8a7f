// The webhook's cpu.stalled event: the CPU's row as the status document writes it, and its job.
#include "webhook_events.h"

#include "json_writer.h"
#include "status_json.h"
#include "wire_text.h"

std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName) {
    std::string out;
    JsonWriter w(out);
    w.BeginObject();
    w.Member("event", kEventCpuStalled);
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
