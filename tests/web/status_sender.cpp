// Test helper for the browser test: sends status messages to pellicksrv for scripted CPUs, one line of commands at a time.
//
// usage: status_sender PORT, then lines on standard input:
//   send cpu=N [name=value ...]   send CPU N's record (its connection opens at the first send);
//                                 names: scene file done total ppf recent last started ago frame first
//                                 lastframe; values are %-encoded bytes (scene=%3Cb%3E, scene=Caf%E9),
//                                 times in seconds, started/ago counted back from now; started
//                                 stays for the CPU's later lines that do not name it
//   many from=N count=K [jobs=J] [name=value ...]   send K CPUs N..N+K-1 the same way; with jobs=J
//                                 the scene name gets "-1".."-J", consecutive CPUs in each job
//   stream from=N count=K seconds=S   for S seconds each of those CPUs sends one more pass a
//                                 second, the sends spread evenly over each second
//   close cpu=N                   close CPU N's connection
//   sync                          print "ok" once everything before it is sent
// End of input closes every connection.
#include "clock.h"
#include "descriptor_limit.h"
#include "net.h"
#include "status_record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Cpu {
    NetSocket socket = kNoNetSocket;
    StatusRecord record{};
};

std::string Decode(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void SetText(char *field, size_t size, const std::string &value) {
    std::memset(field, 0, size);
    std::memcpy(field, value.data(), std::min(value.size(), size));  // a full-width name has no terminator
}

// Fills the record from name=value pairs; times are seconds.
void Apply(StatusRecord &r, const std::map<std::string, std::string> &values) {
    const uint64_t now = NowFileTime();
    const auto num = [&](const char *name, long long def) {
        auto it = values.find(name);
        return it == values.end() ? def : std::atoll(it->second.c_str());
    };
    if (values.count("scene")) SetText(r.sceneName, sizeof r.sceneName, values.at("scene"));
    if (values.count("file")) SetText(r.sceneFile, sizeof r.sceneFile, values.at("file"));
    r.passesDone = static_cast<uint32_t>(num("done", r.passesDone));
    r.totalPasses = static_cast<uint32_t>(num("total", r.totalPasses));
    r.passesPerFrame = static_cast<uint32_t>(num("ppf", r.passesPerFrame ? r.passesPerFrame : 1));
    r.passesPerFrameFixed = 1;
    const int64_t tick = static_cast<int64_t>(kTicksPerSecond);
    r.recentPassTime = num("recent", r.recentPassTime / tick) * tick;
    r.lastPassTime = num("last", r.lastPassTime ? r.lastPassTime / tick : r.recentPassTime / tick) * tick;
    // A plug-in's start instant stays put for its session, unless a line names it again.
    if (values.count("started") || r.startTime == 0) r.startTime = now - static_cast<uint64_t>(num("started", 600) * tick);
    const int64_t started = static_cast<int64_t>((now - r.startTime) / kTicksPerSecond), ago = num("ago", 0);
    r.elapsedTime = (started - ago) * tick;
    r.passStartTime = r.startTime + static_cast<uint64_t>(r.elapsedTime - r.lastPassTime);
    r.averagePassTime = r.passesDone ? r.elapsedTime / r.passesDone : 0;
    r.sceneFirstFrame = static_cast<int32_t>(num("first", r.sceneFirstFrame ? r.sceneFirstFrame : 1));
    r.sceneLastFrame = static_cast<int32_t>(num("lastframe", r.sceneLastFrame ? r.sceneLastFrame : 100));
    r.sceneFrameStep = 1;
    r.currentFrame = static_cast<int32_t>(num("frame", r.passesDone / r.passesPerFrame + r.sceneFirstFrame));
    r.firstRenderedFrame = r.sceneFirstFrame;
}

bool Send(Cpu &cpu, uint16_t port) {
    if (cpu.socket == kNoNetSocket) {
        uint32_t addr = 0;
        NetSocket s = NetOpenTcp();
        if (s == kNoNetSocket || !NetResolveIPv4("127.0.0.1", &addr) || !NetConnect(s, addr, port, 5000)) {
            if (s != kNoNetSocket) NetClose(s);
            return false;
        }
        cpu.socket = s;
    }
    uint8_t message[kMessageLength];
    if (EncodeRecord(cpu.record, kFieldTable, message) != kMessageLength) return false;
    size_t sent = 0;
    while (sent < sizeof message) {
        const long n = NetSend(cpu.socket, message + sent, sizeof message - sent);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2 || !NetStartup()) {
        std::fprintf(stderr, "usage: status_sender PORT (commands on standard input)\n");
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
    RaiseDescriptorLimit();  // one connection per CPU
    std::map<long long, Cpu> cpus;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string command, word;
        words >> command;
        std::map<std::string, std::string> values;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos) values[word.substr(0, eq)] = Decode(word.substr(eq + 1));
        }
        const auto prepare = [&](long long index) -> Cpu & {
            Cpu &cpu = cpus[index];
            if (cpu.record.signature[0] == 0) {
                std::memcpy(cpu.record.signature, RecordSignature, sizeof RecordSignature);
                cpu.record.socket = kNoNetSocket;
            }
            cpu.record.cpuIndex = static_cast<int32_t>(index);
            Apply(cpu.record, values);
            return cpu;
        };
        bool ok = true;
        if (command == "send") {
            const long long index = std::atoll(values["cpu"].c_str());
            ok = Send(prepare(index), port);
        } else if (command == "many") {
            const long long from = std::atoll(values["from"].c_str()), count = std::atoll(values["count"].c_str());
            const long long jobs = values.count("jobs") ? std::atoll(values["jobs"].c_str()) : 0;
            const std::string scene = values["scene"];
            for (long long i = from; ok && i < from + count; ++i) {
                if (jobs > 0) values["scene"] = scene + "-" + std::to_string((i - from) * jobs / count + 1);
                ok = Send(prepare(i), port);
            }
        } else if (command == "stream") {
            const long long from = std::atoll(values["from"].c_str()), count = std::atoll(values["count"].c_str());
            const long long sends = count * std::atoll(values["seconds"].c_str());
            const auto start = std::chrono::steady_clock::now();
            for (long long j = 0; ok && j < sends; ++j) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(j * 1000000 / count));
                auto it = cpus.find(from + j % count);
                if (it == cpus.end()) continue;  // only CPUs that were sent before
                StatusRecord &r = it->second.record;
                r.passesDone += 1;
                r.currentFrame = static_cast<int32_t>(r.passesDone / r.passesPerFrame + r.sceneFirstFrame);
                ok = Send(it->second, port);
            }
        } else if (command == "close") {
            auto it = cpus.find(std::atoll(values["cpu"].c_str()));
            if (it != cpus.end() && it->second.socket != kNoNetSocket) NetClose(it->second.socket);
            if (it != cpus.end()) cpus.erase(it);
        } else if (command == "sync") {
            std::cout << "ok" << std::endl;
        } else if (!command.empty()) {
            std::fprintf(stderr, "status_sender: unknown command %s\n", command.c_str());
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "status_sender: %s failed\n", line.c_str());
            return 1;
        }
    }
    for (auto &[index, cpu] : cpus) {
        if (cpu.socket != kNoNetSocket) NetClose(cpu.socket);
    }
    NetCleanup();
    return 0;
}
