// The Linux server's one-thread event loop: epoll over the listener, the client connections, the stop signals and a wake-up from other threads.
#pragma once

#include "client_table.h"
#include "net.h"

#include <cstdint>
#include <vector>

struct EventLoop {
    int epollFd = -1;
    int signalFd = -1;                 // SIGINT, SIGTERM, SIGHUP: ask the loop to end
    int wakeFd = -1;                   // eventfd: other threads ask the loop to run handlers.wake
    NetSocket listener = kNoNetSocket;
    uint64_t acceptsPausedUntil = 0;   // monotonic ns; 0 when accept notifications are on
    // Per descriptor, the tag of its current client registration: an event
    // fetched before the descriptor was closed and its number handed to a
    // new connection carries the old tag and is dropped.
    std::vector<uint32_t> tags;
    uint32_t lastTag = 0;
    // The longest time one wake-up's handling kept the loop from taking new events.
    uint64_t longestTurnNs = 0;
};

// Socket readiness: read, accept or close (client_table.h).
using SocketHandler = void (*)(void *context, NetSocket s, SocketEvent event);

struct EventLoopHandlers {
    void *context = nullptr;
    SocketHandler socket = nullptr;
    // Runs once at the start, then after the events of each wake-up are
    // handled (and after a wake-up it asked for). Returns in how many milliseconds it wants to run again
    // should no event come first, or -1 for only after the next events.
    int (*batchDone)(void *context) = nullptr;
    // Runs on the loop thread after EventLoopWake was called (one call for
    // any number of wakes since the last).
    void (*wake)(void *context) = nullptr;
};

// Blocks the stop signals for the process, so they are only seen by the loop.
// Call first thing, before any other thread could exist.
void BlockStopSignals();

// Creates the epoll instance, the signal descriptor and the wake-up. 1 on success.
int EventLoopOpen(EventLoop &loop);
// Asks the loop to call handlers.wake soon. Safe from any thread while the
// loop is open.
void EventLoopWake(const EventLoop &loop);
// Asks for accept notifications on the (non-blocking) listening socket. 1 on success.
int EventLoopWatchListener(EventLoop &loop, NetSocket listener);
// Makes a new connection non-blocking and asks for its read and close
// notifications. 1 on success.
int EventLoopWatchClient(EventLoop &loop, NetSocket s);
// Stops accept notifications for a while (after an accept failed, e.g. no
// descriptors left), so a connection that cannot be taken does not spin the loop.
void EventLoopPauseAccepts(EventLoop &loop, uint32_t milliseconds);
// Fetches the ready events in batches and hands each to handlers.socket, then
// calls handlers.batchDone; until a stop signal arrives (returns 1) or
// waiting fails (returns 0).
int EventLoopRun(EventLoop &loop, const EventLoopHandlers &handlers);
void EventLoopClose(EventLoop &loop);
