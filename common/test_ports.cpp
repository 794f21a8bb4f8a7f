// The test-only port overrides: both variables read and checked the same way for every program.
#include "test_ports.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

// One variable: true with port unset when it is unset or empty, with port
// set when it holds a decimal number in lowest..65535.
bool ReadPort(const char *variable, unsigned lowest, std::optional<uint16_t> &port, std::string &error) {
    port.reset();
    const char *text = std::getenv(variable);
    if (!text || !*text) return true;
    const char *end = text + std::strlen(text);
    unsigned value = 0;
    const auto [p, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || p != end || value < lowest || value > 65535) {
        error = std::string(variable) + " is not a port number (" + std::to_string(lowest) + " to 65535)";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool ReadTestPorts(TestPorts &ports, std::string &error) {
    return ReadPort(kTestStatusPortVariable, 1, ports.status, error) && ReadPort(kTestHttpPortVariable, 0, ports.http, error);
}
