// A stand-in status server for tests: listens on a local port, accepts every connection and decodes the 750-byte messages it receives.
#pragma once

#include "net.h"
#include "status_record.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct CollectedMessage {
    int connection;  // 0-based order of acceptance
    std::array<uint8_t, kMessageLength> bytes;
    StatusRecord record;
};

struct CollectedConnection {
    bool closedByPeer = false;
    size_t bytesReceived = 0;
    size_t trailingBytes = 0;  // bytes of an incomplete last message
};

class MessageCollector {
public:
    // Listens on port (0: any free port). readMessages false accepts
    // connections but never reads from them, like a stalled server.
    explicit MessageCollector(uint16_t port = 0, bool readMessages = true);
    ~MessageCollector();
    MessageCollector(const MessageCollector &) = delete;
    MessageCollector &operator=(const MessageCollector &) = delete;

    bool Listening() const { return listener_ != kNoNetSocket; }
    uint16_t Port() const { return port_; }

    // Closes the accepted connections (the server hangs up); keeps listening.
    void CloseConnections();
    // Stops listening and closes everything (the server goes away).
    void Shutdown();

    std::vector<CollectedMessage> Messages();
    std::vector<CollectedConnection> Connections();

    // Polls pred over the messages so far until it holds or timeoutMs passes.
    bool WaitFor(const std::function<bool(const std::vector<CollectedMessage> &)> &pred, int timeoutMs = 10000);
    // Waits for a message whose passesDone is n; the message when found.
    bool WaitForPasses(uint32_t n, CollectedMessage *found = nullptr, int timeoutMs = 10000);
    bool WaitForConnections(size_t n, int timeoutMs = 10000);

private:
    struct Peer {
        NetSocket socket;
        int index;
        std::vector<uint8_t> pending;
    };
    void Run();

    NetSocket listener_ = kNoNetSocket;
    uint16_t port_ = 0;
    bool read_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    std::mutex mutex_;
    std::vector<Peer> peers_;
    std::vector<CollectedMessage> messages_;
    std::vector<CollectedConnection> connections_;
    std::thread thread_;
};

// Polls pred until it holds or timeoutMs passes.
bool PollUntil(const std::function<bool()> &pred, int timeoutMs);
