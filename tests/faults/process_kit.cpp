// Child processes and output readers for the fault tests.
#include "process_kit.h"

#include "net.h"

#include <algorithm>
#include <csignal>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

Child::Child(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env,
             const fs::path &output) {
    std::vector<std::string> vars;
    for (char **e = environ; *e; ++e) {
        const std::string v = *e;
        bool replaced = false;
        for (const auto &[name, value] : env) replaced |= v.rfind(name + "=", 0) == 0;
        if (!replaced) vars.push_back(v);
    }
    for (const auto &[name, value] : env) vars.push_back(name + "=" + value);

    std::vector<char *> args, envp;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (std::string &v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The child starts with no signal blocked, whatever this process blocks.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data()) == 0) pid_ = pid;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
}

Child::Child(Child &&other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }

Child &Child::operator=(Child &&other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Child::Running() {
    if (pid_ <= 0 || status_) return false;
    return !Wait(std::chrono::milliseconds(0));
}

void Child::Signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    const auto end = Clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (r < 0) {
            status_ = -1;
            return status_;
        }
        if (Clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool PollUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout, std::chrono::milliseconds every) {
    const auto end = Clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(every);
    }
}

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void WriteFile(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

uint16_t FreePort() {
    const NetSocket s = NetListen(0, 1, false);
    const uint16_t port = NetLocalPort(s);
    NetClose(s);
    return port;
}

std::vector<HtmlCpu> HtmlCpuRows(const std::string &html) {
    static const std::regex row("<tr><td>(\\d+)</td><td>(\\d+)</td><td>(-?\\d+)</td><td>(\\d+)</td>");
    std::vector<HtmlCpu> rows;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row); it != std::sregex_iterator(); ++it) {
        HtmlCpu r{std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]), std::stoull((*it)[4])};
        if (r.job != 0) rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end(), [](const HtmlCpu &a, const HtmlCpu &b) { return a.cpu < b.cpu; });
    return rows;
}

size_t HtmlEmptyRows(const std::string &html) {
    const std::string empty = "<tr><td>0</td><td>0</td><td>0</td><td>0</td>";
    size_t n = 0;
    for (size_t p = html.find(empty); p != std::string::npos; p = html.find(empty, p + 1)) ++n;
    return n;
}

std::string Describe(const std::vector<HtmlCpu> &rows) {
    std::string text;
    for (const HtmlCpu &r : rows)
        text += "[cpu " + std::to_string(r.cpu) + " job " + std::to_string(r.job) + " frame " + std::to_string(r.frame) +
                " passes " + std::to_string(r.passes) + "] ";
    return text.empty() ? "(no rows)" : text;
}

std::vector<HtmlJob> HtmlJobs(const std::string &html) {
    static const std::regex job("<tr><td colspan=2>Job( \\d+)? Stats</td></tr><tr><td>CPUs</td><td>(\\d+)</td></tr>"
                                "<tr><td>Passes Rendered</td><td>(\\d+)</td></tr><tr><td>Total Passes</td><td>(\\d+)</td>");
    std::vector<HtmlJob> jobs;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), job); it != std::sregex_iterator(); ++it)
        jobs.push_back({std::stoull((*it)[2]), std::stoull((*it)[3]), std::stoull((*it)[4])});
    return jobs;
}

std::map<std::string, std::string> LastTerminalBlock(const std::string &output) {
    // The last whole block: one still being written is skipped.
    for (size_t start = output.rfind("Render Status\n"); start != std::string::npos;
         start = start ? output.rfind("Render Status\n", start - 1) : std::string::npos) {
        std::map<std::string, std::string> fields;
        std::istringstream in(output.substr(start + 14, 4096));
        for (std::string line; std::getline(in, line) && !line.empty();) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) break;
            const size_t value = line.find_first_not_of(' ', colon + 1);
            fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
        }
        if (fields.size() == 9 && in) return fields;
    }
    return {};
}

size_t TerminalBlocks(const std::string &output) {
    size_t n = 0;
    for (size_t p = output.find("Render Status\n"); p != std::string::npos; p = output.find("Render Status\n", p + 1)) ++n;
    return n;
}

std::map<std::string, std::string> ReadStats(const fs::path &path) {
    std::map<std::string, std::string> stats;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) stats[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return stats;
}

std::optional<std::string> HttpGet(uint16_t port, const std::string &path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200", 0) != 0 || body == std::string::npos) return std::nullopt;
    if (answer.find("Transfer-Encoding: chunked") != std::string::npos) return std::nullopt;  // not asked for: no keep-alive
    return answer.substr(body + 4);
}

std::optional<uint64_t> JsonNumberAfter(const std::string &json, const std::string &from, const std::string &key) {
    const size_t start = json.find(from);
    if (start == std::string::npos) return std::nullopt;
    const std::string quoted = "\"" + key + "\":";
    size_t at = json.find(quoted, start);
    if (at == std::string::npos) return std::nullopt;
    at += quoted.size();
    while (at < json.size() && json[at] == ' ') ++at;
    if (at >= json.size() || json[at] < '0' || json[at] > '9') return std::nullopt;
    return std::stoull(json.substr(at, 20));
}

std::string Programs::Server() { return PELLICK_SERVER_PATH; }
std::string Programs::HostSim() { return PELLICK_HOSTSIM_PATH; }
std::string Programs::Plugin() { return PELLICK_PLUGIN_PATH; }
