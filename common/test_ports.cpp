// The test-only overrides: every variable read and checked the same way for every program.
#include "test_ports.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

bool ReadTestNumber(const char *variable, uint32_t lowest, uint32_t highest, const char *what,
                    std::optional<uint32_t> &value, std::string &error) {
    value.reset();
    const char *text = std::getenv(variable);
    if (!text || !*text) return true;
    const char *end = text + std::strlen(text);
    uint32_t number = 0;
    const auto [p, ec] = std::from_chars(text, end, number);
    if (ec != std::errc() || p != end || number < lowest || number > highest) {
        error = std::string(variable) + " is not " + what + " (" + std::to_string(lowest) + " to " +
                std::to_string(highest) + ")";
        return false;
    }
    value = number;
    return true;
}

namespace {

// A variable whose range fits 16 bits, as TestPorts keeps it.
bool ReadNumber(const char *variable, uint16_t lowest, uint16_t highest, const char *what,
                std::optional<uint16_t> &port, std::string &error) {
    std::optional<uint32_t> value;
    const bool ok = ReadTestNumber(variable, lowest, highest, what, value, error);
    port.reset();
    if (value) port = static_cast<uint16_t>(*value);
    return ok;
}

}  // namespace

bool ReadTestPorts(TestPorts &ports, std::string &error) {
    const char *history = std::getenv(kTestHistoryVariable);
    ports.history = history ? history : "";
    return ReadNumber(kTestStatusPortVariable, 1, 65535, "a port number", ports.status, error) &&
           ReadNumber(kTestHttpPortVariable, 0, 65535, "a port number", ports.http, error) &&
           ReadNumber(kTestPeerSecondsVariable, 1, 60, "a number of seconds", ports.peerSeconds, error) &&
           ReadNumber(kTestWebhookMsVariable, 100, 10000, "a number of milliseconds", ports.webhookMs, error);
}
