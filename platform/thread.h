// Threads, a lock and events for the plug-in's sender thread: Win32 objects on Windows, pthreads on POSIX.
#pragma once

#include <cstddef>
#include <cstdint>

// A lock kept in caller-owned storage (a critical section on Windows, a mutex on POSIX).
struct ThreadLock {
    alignas(8) unsigned char storage[64];
};
void LockInit(ThreadLock *lock);
void LockDelete(ThreadLock *lock);
void LockEnter(ThreadLock *lock);
void LockLeave(ThreadLock *lock);

// An event: manual-reset events stay signalled until reset; an auto-reset
// event is reset by the wait that reports it.
struct ThreadEvent;
ThreadEvent *EventCreate(bool manualReset);  // unsignalled; null on failure
void EventClose(ThreadEvent *event);
void EventSet(ThreadEvent *event);
void EventReset(ThreadEvent *event);

inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;
inline constexpr int kMaxWaitEvents = 8;

// Waits until one of events is signalled or timeoutMs has passed. Returns the
// index of the first signalled event in array order (an auto-reset one is reset),
// kWaitTimeout, or kWaitFailed (bad arguments, platform failure).
int EventWaitAny(ThreadEvent *const *events, int count, uint32_t timeoutMs);

// A thread running body(arg), started at once.
struct ThreadHandle;
using ThreadBody = uint32_t (*)(void *arg);
// stackBytes is the requested stack; POSIX raises it to what the C library
// needs for name lookups (never below PTHREAD_STACK_MIN). Null on failure.
ThreadHandle *ThreadStart(ThreadBody body, void *arg, size_t stackBytes);
// Waits without a time limit until the thread has ended, then releases it.
void ThreadJoin(ThreadHandle *thread);
