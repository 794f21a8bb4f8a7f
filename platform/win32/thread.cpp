// Threads, lock and events on Windows: critical sections, event objects and CreateThread.
#include "thread.h"

#include <windows.h>

#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(ThreadLock::storage));
static_assert(alignof(CRITICAL_SECTION) <= alignof(ThreadLock));

namespace {

CRITICAL_SECTION *Section(ThreadLock *lock) { return reinterpret_cast<CRITICAL_SECTION *>(lock->storage); }
HANDLE Handle(ThreadEvent *event) { return reinterpret_cast<HANDLE>(event); }

struct ThreadStartData {
    ThreadBody body;
    void *arg;
};

DWORD WINAPI Trampoline(LPVOID p) {
    ThreadStartData data = *static_cast<ThreadStartData *>(p);
    delete static_cast<ThreadStartData *>(p);
    return data.body(data.arg);
}

}  // namespace

void LockInit(ThreadLock *lock) { InitializeCriticalSection(Section(lock)); }
void LockDelete(ThreadLock *lock) { DeleteCriticalSection(Section(lock)); }
void LockEnter(ThreadLock *lock) { EnterCriticalSection(Section(lock)); }
void LockLeave(ThreadLock *lock) { LeaveCriticalSection(Section(lock)); }

ThreadEvent *EventCreate(bool manualReset) {
    HANDLE h = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    return reinterpret_cast<ThreadEvent *>(h);
}

void EventClose(ThreadEvent *event) {
    if (event) CloseHandle(Handle(event));
}

void EventSet(ThreadEvent *event) {
    if (event) SetEvent(Handle(event));
}

void EventReset(ThreadEvent *event) {
    if (event) ResetEvent(Handle(event));
}

int EventWaitAny(ThreadEvent *const *events, int count, uint32_t timeoutMs) {
    if (!events || count < 1 || count > kMaxWaitEvents) return kWaitFailed;
    HANDLE handles[kMaxWaitEvents];
    for (int i = 0; i < count; ++i) {
        if (!events[i]) return kWaitFailed;
        handles[i] = Handle(events[i]);
    }
    DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
    if (rc == WAIT_TIMEOUT) return kWaitTimeout;
    if (rc >= WAIT_OBJECT_0 && rc < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(rc - WAIT_OBJECT_0);
    return kWaitFailed;
}

ThreadHandle *ThreadStart(ThreadBody body, void *arg, size_t stackBytes) {
    auto *data = new (std::nothrow) ThreadStartData{body, arg};
    if (!data) return nullptr;
    HANDLE h = CreateThread(nullptr, stackBytes, Trampoline, data, 0, nullptr);
    if (!h) {
        delete data;
        return nullptr;
    }
    return reinterpret_cast<ThreadHandle *>(h);
}

void ThreadJoin(ThreadHandle *thread) {
    if (!thread) return;
    HANDLE h = reinterpret_cast<HANDLE>(thread);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}
