// The epoll event loop of the Linux server: batches of readiness, each handed out in turn like window messages, then one end-of-batch call.
#include "event_loop.h"

#include "client_table.h"
#include "clock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <new>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// Ready events fetched per wake-up.
constexpr int kMaxEvents = 256;

int Fd(NetSocket s) { return static_cast<int>(s); }

// An event's data: the descriptor, and in the high half the tag of a client
// registration (0 for the listener, the signal and the wake-up descriptors).
uint64_t EventData(int fd, uint32_t tag) { return (uint64_t{tag} << 32) | static_cast<uint32_t>(fd); }
int EventFd(uint64_t data) { return static_cast<int>(static_cast<uint32_t>(data)); }
uint32_t EventTag(uint64_t data) { return static_cast<uint32_t>(data >> 32); }

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

int SetListenerEvents(EventLoop &loop, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = EventData(Fd(loop.listener), 0);
    return epoll_ctl(loop.epollFd, EPOLL_CTL_MOD, Fd(loop.listener), &ev) == 0;
}

// Milliseconds to wait for the next readiness: until accepts resume, until
// the end-of-batch call asked to run again (wantMs, -1 for never), or for ever.
int WaitTimeout(EventLoop &loop, int wantMs) {
    if (!loop.acceptsPausedUntil) return wantMs;
    uint64_t now = MonotonicNanos();
    if (now >= loop.acceptsPausedUntil) {
        loop.acceptsPausedUntil = 0;
        SetListenerEvents(loop, EPOLLIN);
        return wantMs;
    }
    int pauseMs = static_cast<int>((loop.acceptsPausedUntil - now) / 1000000 + 1);
    return wantMs < 0 ? pauseMs : std::min(wantMs, pauseMs);
}

// Asks for read notifications on one of the loop's own descriptors.
int WatchOwn(EventLoop &loop, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = EventData(fd, 0);
    return epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // A standard output, terminal or pipe whose reader went away fails its writes instead of ending the server.
    signal(SIGPIPE, SIG_IGN);
}

int EventLoopOpen(EventLoop &loop) {
    loop.epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (loop.epollFd < 0) return 0;
    sigset_t set = StopSignals();
    loop.signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (loop.signalFd < 0 || !WatchOwn(loop, loop.signalFd)) return 0;
    loop.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return loop.wakeFd >= 0 && WatchOwn(loop, loop.wakeFd);
}

void EventLoopWake(const EventLoop &loop) {
    if (loop.wakeFd >= 0) eventfd_write(loop.wakeFd, 1);
}

int EventLoopWatchListener(EventLoop &loop, NetSocket listener) {
    if (!NetSetNonBlocking(listener)) return 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = EventData(Fd(listener), 0);
    if (epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, Fd(listener), &ev) != 0) return 0;
    loop.listener = listener;
    return 1;
}

int EventLoopWatchClient(EventLoop &loop, NetSocket s) {
    if (s < 0 || s > INT32_MAX || !NetSetNonBlocking(s)) return 0;
    const size_t fd = static_cast<size_t>(s);
    try {
        if (loop.tags.size() <= fd) loop.tags.resize(std::max(fd + 1, loop.tags.size() * 2));
    } catch (const std::bad_alloc &) {
        return 0;
    }
    if (++loop.lastTag == 0) loop.lastTag = 1;  // 0 stands for the loop's own descriptors
    loop.tags[fd] = loop.lastTag;
    // Level-triggered: a client with bytes left is reported again. The
    // registration goes away by itself when the core closes the descriptor.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = EventData(Fd(s), loop.lastTag);
    return epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, Fd(s), &ev) == 0;
}

void EventLoopPauseAccepts(EventLoop &loop, uint32_t milliseconds) {
    if (loop.listener == kNoNetSocket || !SetListenerEvents(loop, 0)) return;
    loop.acceptsPausedUntil = MonotonicNanos() + uint64_t{milliseconds} * 1000000 + 1;
}

int EventLoopRun(EventLoop &loop, const EventLoopHandlers &handlers) {
    epoll_event events[kMaxEvents];
    int wantMs = 0;  // batchDone runs once at the start, so its periodic checks run before any event
    for (;;) {
        int n = epoll_wait(loop.epollFd, events, kMaxEvents, WaitTimeout(loop, wantMs));
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        const uint64_t turnStart = MonotonicNanos();
        for (int k = 0; k < n; ++k) {
            const int fd = EventFd(events[k].data.u64);
            const uint32_t tag = EventTag(events[k].data.u64);
            if (tag == 0 && fd == loop.signalFd) {
                signalfd_siginfo info;
                if (read(loop.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return 1;
                continue;
            }
            if (tag == 0 && fd == loop.wakeFd) {
                eventfd_t count;
                if (eventfd_read(loop.wakeFd, &count) == 0 && handlers.wake) handlers.wake(handlers.context);
                continue;
            }
            if (tag == 0 && loop.listener != kNoNetSocket && fd == Fd(loop.listener)) {
                handlers.socket(handlers.context, loop.listener, SocketEvent::Accept);
                continue;
            }
            // A handler earlier in this batch may have closed the descriptor
            // and an accept handed its number to a new connection.
            if (tag == 0 || static_cast<size_t>(fd) >= loop.tags.size() || loop.tags[static_cast<size_t>(fd)] != tag)
                continue;
            // Pending bytes are read first; a hang-up without bytes is a close,
            // which still reads what is left before the client is dropped.
            handlers.socket(handlers.context, fd, (events[k].events & EPOLLIN) ? SocketEvent::Read : SocketEvent::Close);
        }
        wantMs = handlers.batchDone ? handlers.batchDone(handlers.context) : -1;
        loop.longestTurnNs = std::max(loop.longestTurnNs, MonotonicNanos() - turnStart);
    }
}

void EventLoopClose(EventLoop &loop) {
    if (loop.wakeFd >= 0) close(loop.wakeFd);
    if (loop.signalFd >= 0) close(loop.signalFd);
    if (loop.epollFd >= 0) close(loop.epollFd);
    loop.wakeFd = loop.signalFd = loop.epollFd = -1;
    loop.listener = kNoNetSocket;
    loop.acceptsPausedUntil = 0;
    loop.tags.clear();
}
