// The server's webhook events as JSON: the envelope every event shares and the cpu.stalled body.
#pragma once

#include "event_names.h"
#include "snapshot.h"

#include <initializer_list>
#include <string>
#include <string_view>

// The event's envelope: {"event":event,"<key>":<json>,...} from members
// already written as JSON; event and keys are plain ASCII names.
struct EventMember {
    std::string_view key;
    std::string_view json;
};
std::string EventEnvelope(std::string_view event, std::initializer_list<EventMember> members);

// {"event":"cpu.stalled","cpu":{...a row of /status.json cpus[]...},
//  "job":{"id":...,"number":...,"sceneName":...}}
std::string CpuStalledEventJson(const WebCpu &cpu, const std::string &jobId, uint32_t jobNumber,
                                const std::string &sceneName);
