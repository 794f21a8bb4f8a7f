// The test-only overrides: every variable read and checked the same way for every program.
#include "test_ports.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

// One variable: true with port unset when it is unset or empty, with port
// set when it holds a decimal number in lowest..highest.
bool ReadNumber(const char *variable, unsigned lowest, unsigned highest, const char *what,
                std::optional<uint16_t> &port, std::string &error) {
    port.reset();
    const char *text = std::getenv(variable);
    if (!text || !*text) return true;
    const char *end = text + std::strlen(text);
    unsigned value = 0;
    const auto [p, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || p != end || value < lowest || value > highest) {
        error = std::string(variable) + " is not " + what + " (" + std::to_string(lowest) + " to " +
                std::to_string(highest) + ")";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
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
