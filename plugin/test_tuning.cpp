// The run tuning of the tests' variant of the plug-in (PellickTest): port and quiet time-out from the environment.
#include "plugin.h"
#include "test_ports.h"

#include <cstdio>
#include <string>

namespace {

// A variable's value by the tools' rule; a bad one is said on stderr, and a
// bad port reaches no server rather than the real one.
uint32_t Override(const char *variable, uint32_t lowest, uint32_t highest, const char *what, uint32_t fallback,
                  uint32_t onError) {
    std::optional<uint32_t> value;
    std::string error;
    if (!ReadTestNumber(variable, lowest, highest, what, value, error)) {
        std::fprintf(stderr, "PellickTest: %s\n", error.c_str());
        return onError;
    }
    return value.value_or(fallback);
}

}  // namespace

RunTuning ReadRunTuning() {
    return RunTuning{
        static_cast<uint16_t>(Override(kTestStatusPortVariable, 1, 65535, "a port number", STATUS_PORT, 0)),
        Override(kTestQuietMsVariable, 1, kQuietTimeoutMs, "a number of milliseconds", kQuietTimeoutMs,
                 kQuietTimeoutMs)};
}
