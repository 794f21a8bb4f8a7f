// The test-only overrides of the server, the tools and the tests' plug-in (ports, time-outs, the history path), read from the environment by one rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char *kTestStatusPortVariable = "PELLICK_TEST_PORT";    // the status port, 1..65535
inline constexpr const char *kTestHttpPortVariable = "PELLICK_TEST_HTTP_PORT";  // the dashboard, 0..65535 (0: any free port)
// Seconds, 1..60: the server's waits on a peer (keepalive idle, a whole
// message) are that long instead of 60 s.
inline constexpr const char *kTestPeerSecondsVariable = "PELLICK_TEST_PEER_SECONDS";
// A file path: the server keeps its run history there instead of the user's data folder.
inline constexpr const char *kTestHistoryVariable = "PELLICK_TEST_HISTORY";
// Milliseconds, 100..10000: each try of the webhook ends after that long instead of 10 s.
inline constexpr const char *kTestWebhookMsVariable = "PELLICK_TEST_WEBHOOK_MS";
// Milliseconds, 1 up to the plug-in's own: the tests' plug-in gives up a silent server sooner.
inline constexpr const char *kTestQuietMsVariable = "PELLICK_TEST_QUIET_MS";

struct TestPorts {
    std::optional<uint16_t> status;  // set: replaces STATUS_PORT
    std::optional<uint16_t> http;    // set: replaces the dashboard's port
    std::optional<uint16_t> peerSeconds;  // set: shortens the server's peer timeouts
    std::string history;  // not empty: replaces the history database's path
    std::optional<uint16_t> webhookMs;    // set: shortens each try of the webhook
};

// Reads the variables; one that is unset or empty overrides nothing. False
// when one holds anything but a decimal number in its range: error then
// names the variable and the range, e.g. "PELLICK_TEST_PORT is not a port
// number (1 to 65535)".
bool ReadTestPorts(TestPorts &ports, std::string &error);

// One variable by the same rule: true with value unset when it is unset or
// empty, set when it holds a decimal number in lowest..highest; false with
// error naming the variable, what it should be and the range otherwise.
bool ReadTestNumber(const char *variable, uint32_t lowest, uint32_t highest, const char *what,
                    std::optional<uint32_t> &value, std::string &error);
