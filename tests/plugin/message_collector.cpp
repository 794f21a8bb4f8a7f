// The test status server: a polling loop over non-blocking sockets that reassembles and decodes status messages.
#include "message_collector.h"

#include <cstring>

bool PollUntil(const std::function<bool()> &pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

MessageCollector::MessageCollector(uint16_t port, bool readMessages) : read_(readMessages) {
    listener_ = NetListen(port, 16, false);
    if (listener_ == kNoNetSocket) return;
    NetSetNonBlocking(listener_);
    port_ = NetLocalPort(listener_);
    thread_ = std::thread([this] { Run(); });
}

MessageCollector::~MessageCollector() { Shutdown(); }

void MessageCollector::Shutdown() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (Peer &p : peers_) NetClose(p.socket);
    peers_.clear();
    if (listener_ != kNoNetSocket) NetClose(listener_);
    listener_ = kNoNetSocket;
}

void MessageCollector::CloseConnections() {
    hangUp_ = true;
    PollUntil([this] { return !hangUp_.load(); }, 10000);
}

std::vector<CollectedMessage> MessageCollector::Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<CollectedConnection> MessageCollector::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool MessageCollector::WaitFor(const std::function<bool(const std::vector<CollectedMessage> &)> &pred, int timeoutMs) {
    return PollUntil([&] { return pred(Messages()); }, timeoutMs);
}

bool MessageCollector::WaitForPasses(uint32_t n, CollectedMessage *found, int timeoutMs) {
    return WaitFor(
        [&](const std::vector<CollectedMessage> &all) {
            for (const CollectedMessage &m : all) {
                if (m.record.passesDone != n) continue;
                if (found) *found = m;
                return true;
            }
            return false;
        },
        timeoutMs);
}

bool MessageCollector::WaitForConnections(size_t n, int timeoutMs) {
    return PollUntil([&] { return Connections().size() >= n; }, timeoutMs);
}

void MessageCollector::Run() {
    uint8_t chunk[4096];
    while (!stop_) {
        bool busy = false;
        for (;;) {
            NetSocket s = NetAccept(listener_);
            if (s == kNoNetSocket) break;
            NetSetNonBlocking(s);
            std::lock_guard<std::mutex> lock(mutex_);
            peers_.push_back(Peer{s, static_cast<int>(connections_.size()), {}});
            connections_.emplace_back();
            busy = true;
        }
        if (hangUp_) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Peer &p : peers_) NetClose(p.socket);
            peers_.clear();
            hangUp_ = false;
        }
        if (read_) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t i = 0; i < peers_.size();) {
                Peer &p = peers_[i];
                long n = NetRecv(p.socket, chunk, sizeof chunk);
                if (n > 0) {
                    busy = true;
                    connections_[p.index].bytesReceived += static_cast<size_t>(n);
                    p.pending.insert(p.pending.end(), chunk, chunk + n);
                    size_t used = 0;
                    while (p.pending.size() - used >= kMessageLength) {
                        CollectedMessage m{};
                        m.connection = p.index;
                        std::memcpy(m.bytes.data(), p.pending.data() + used, kMessageLength);
                        DecodeRecord(m.bytes, kFieldTable, m.record);
                        messages_.push_back(m);
                        used += kMessageLength;
                    }
                    p.pending.erase(p.pending.begin(), p.pending.begin() + static_cast<long>(used));
                    connections_[p.index].trailingBytes = p.pending.size();
                    continue;  // read again before moving on
                }
                if (n == kNetWouldBlock) {
                    ++i;
                    continue;
                }
                connections_[p.index].closedByPeer = true;
                NetClose(p.socket);
                peers_.erase(peers_.begin() + static_cast<long>(i));
            }
        }
        if (!busy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
