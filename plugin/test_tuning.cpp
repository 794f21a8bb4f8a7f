// The run tuning of the tests' variant of the plug-in (PellickTest): port and quiet time-out from the environment.
#include "plugin.h"

#include <cstdlib>

namespace {

// A positive decimal from a variable, or fallback when unset or unusable.
uint32_t Override(const char *name, uint32_t fallback, uint32_t maximum) {
    const char *text = std::getenv(name);
    if (!text || !*text) return fallback;
    char *end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v == 0 || v > maximum) return fallback;
    return static_cast<uint32_t>(v);
}

}  // namespace

RunTuning ReadRunTuning() {
    return RunTuning{static_cast<uint16_t>(Override("PELLICK_TEST_PORT", STATUS_PORT, 65535)),
                     Override("PELLICK_TEST_QUIET_MS", kQuietTimeoutMs, kQuietTimeoutMs)};
}
