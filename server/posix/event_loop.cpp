// The epoll event loop of the Linux server: one readiness at a time, like a window message queue.
#include "event_loop.h"

#include "client_table.h"
#include "clock.h"

#include <cerrno>
#include <csignal>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

int Fd(NetSocket s) { return static_cast<int>(s); }

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
    ev.data.fd = Fd(loop.listener);
    return epoll_ctl(loop.epollFd, EPOLL_CTL_MOD, Fd(loop.listener), &ev) == 0;
}

// Milliseconds to wait for the next readiness: until accepts resume, or for ever.
int WaitTimeout(EventLoop &loop) {
    if (!loop.acceptsPausedUntil) return -1;
    uint64_t now = MonotonicNanos();
    if (now >= loop.acceptsPausedUntil) {
        loop.acceptsPausedUntil = 0;
        SetListenerEvents(loop, EPOLLIN);
        return -1;
    }
    return static_cast<int>((loop.acceptsPausedUntil - now) / 1000000 + 1);
}

}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed terminal or pipe must not end the server mid-shutdown
}

int EventLoopOpen(EventLoop &loop) {
    loop.epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (loop.epollFd < 0) return 0;
    sigset_t set = StopSignals();
    loop.signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (loop.signalFd < 0) return 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = loop.signalFd;
    return epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, loop.signalFd, &ev) == 0;
}

int EventLoopWatchListener(EventLoop &loop, NetSocket listener) {
    if (!NetSetNonBlocking(listener)) return 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = Fd(listener);
    if (epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, Fd(listener), &ev) != 0) return 0;
    loop.listener = listener;
    return 1;
}

int EventLoopWatchClient(EventLoop &loop, NetSocket s) {
    if (!NetSetNonBlocking(s)) return 0;
    // Level-triggered: a client with bytes left is reported again. The
    // registration goes away by itself when the core closes the descriptor.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = Fd(s);
    return epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, Fd(s), &ev) == 0;
}

void EventLoopPauseAccepts(EventLoop &loop, uint32_t milliseconds) {
    if (loop.listener == kNoNetSocket || !SetListenerEvents(loop, 0)) return;
    loop.acceptsPausedUntil = MonotonicNanos() + uint64_t{milliseconds} * 1000000 + 1;
}

int EventLoopRun(EventLoop &loop, SocketHandler handler, void *context) {
    for (;;) {
        // One event per wait: a handler may close a descriptor whose number the
        // next accept reuses, so a batch could carry a stale event for it.
        epoll_event ev{};
        int n = epoll_wait(loop.epollFd, &ev, 1, WaitTimeout(loop));
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (n == 0) continue;
        if (ev.data.fd == loop.signalFd) {
            signalfd_siginfo info;
            if (read(loop.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return 1;
            continue;
        }
        if (loop.listener != kNoNetSocket && ev.data.fd == Fd(loop.listener)) {
            handler(context, loop.listener, kSocketAccept);
            continue;
        }
        // Pending bytes are read first; a hang-up without bytes is a close,
        // which still reads what is left before the client is dropped.
        handler(context, ev.data.fd, (ev.events & EPOLLIN) ? kSocketRead : kSocketClose);
    }
}

void EventLoopClose(EventLoop &loop) {
    if (loop.signalFd >= 0) close(loop.signalFd);
    if (loop.epollFd >= 0) close(loop.epollFd);
    loop.signalFd = loop.epollFd = -1;
    loop.listener = kNoNetSocket;
    loop.acceptsPausedUntil = 0;
}
