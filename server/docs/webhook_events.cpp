// The webhook's event envelope, and the cpu.stalled event: the CPU's row as the status document writes it, and its job.
#include "webhook_events.h"

#include "json_writer.h"
#include "status_json.h"

std::string EventEnvelope(std::string_view event, std::initializer_list<EventMember> members) {
    size_t size = 16 + event.size();
    for (const EventMember &m : members) size += m.key.size() + m.json.size() + 4;
    std::string out;
    out.reserve(size);
    out += "{\"event\":\"";
    out += event;
    out += '"';
    for (const EventMember &m : members) {
        out += ",\"";
        out += m.key;
        out += "\":";
        out += m.json;
    }
    out += '}';
    return out;
}

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
