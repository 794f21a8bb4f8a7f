// Threads, lock and events on POSIX: pthread mutexes, and events that share one mutex and condition variable.
#include "thread.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>
#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(ThreadLock::storage));
static_assert(alignof(pthread_mutex_t) <= alignof(ThreadLock));

namespace {

pthread_mutex_t *Mutex(ThreadLock *lock) { return reinterpret_cast<pthread_mutex_t *>(lock->storage); }

// Every event lives under one mutex and one condition variable, so a wait on
// several events is a plain condition wait. Signals are rare (one per pass).
pthread_mutex_t eventMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t eventCond;
pthread_once_t eventOnce = PTHREAD_ONCE_INIT;
bool eventCondOk = false;

void InitEventCond() {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return;
    eventCondOk = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(&eventCond, &attr) == 0;
    pthread_condattr_destroy(&attr);
}

// Name lookups (getaddrinfo and its modules) need far more than Windows' committed 2 KiB.
constexpr size_t kMinThreadStack = 256 * 1024;

struct ThreadStartData {
    ThreadBody body;
    void *arg;
};

void *Trampoline(void *p) {
    ThreadStartData data = *static_cast<ThreadStartData *>(p);
    delete static_cast<ThreadStartData *>(p);
    data.body(data.arg);
    return nullptr;
}

}  // namespace

struct ThreadEvent {
    bool manualReset;
    bool signalled;
};

struct ThreadHandle {
    pthread_t thread;
};

void LockInit(ThreadLock *lock) { pthread_mutex_init(Mutex(lock), nullptr); }
void LockDelete(ThreadLock *lock) { pthread_mutex_destroy(Mutex(lock)); }
void LockEnter(ThreadLock *lock) { pthread_mutex_lock(Mutex(lock)); }
void LockLeave(ThreadLock *lock) { pthread_mutex_unlock(Mutex(lock)); }

ThreadEvent *EventCreate(bool manualReset) {
    pthread_once(&eventOnce, InitEventCond);
    if (!eventCondOk) return nullptr;
    return new (std::nothrow) ThreadEvent{manualReset, false};
}

void EventClose(ThreadEvent *event) { delete event; }

void EventSet(ThreadEvent *event) {
    if (!event) return;
    pthread_mutex_lock(&eventMutex);
    event->signalled = true;
    pthread_cond_broadcast(&eventCond);
    pthread_mutex_unlock(&eventMutex);
}

void EventReset(ThreadEvent *event) {
    if (!event) return;
    pthread_mutex_lock(&eventMutex);
    event->signalled = false;
    pthread_mutex_unlock(&eventMutex);
}

int EventWaitAny(ThreadEvent *const *events, int count, uint32_t timeoutMs) {
    if (!events || count < 1 || count > kMaxWaitEvents || !eventCondOk) return kWaitFailed;
    for (int i = 0; i < count; ++i)
        if (!events[i]) return kWaitFailed;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&eventMutex);
    int result = kWaitTimeout;
    for (;;) {
        for (int i = 0; i < count; ++i) {
            if (events[i]->signalled) {
                if (!events[i]->manualReset) events[i]->signalled = false;
                result = i;
                break;
            }
        }
        if (result != kWaitTimeout) break;
        int rc = pthread_cond_timedwait(&eventCond, &eventMutex, &deadline);
        if (rc == ETIMEDOUT) break;
        if (rc != 0 && rc != EINTR) {
            result = kWaitFailed;
            break;
        }
    }
    pthread_mutex_unlock(&eventMutex);
    return result;
}

ThreadHandle *ThreadStart(ThreadBody body, void *arg, size_t stackBytes) {
    size_t stack = stackBytes;
    if (stack < static_cast<size_t>(PTHREAD_STACK_MIN)) stack = PTHREAD_STACK_MIN;
    if (stack < kMinThreadStack) stack = kMinThreadStack;
    auto *handle = new (std::nothrow) ThreadHandle{};
    auto *data = new (std::nothrow) ThreadStartData{body, arg};
    pthread_attr_t attr;
    bool ok = handle && data && pthread_attr_init(&attr) == 0;
    if (ok) {
        ok = pthread_attr_setstacksize(&attr, stack) == 0 &&
             pthread_create(&handle->thread, &attr, Trampoline, data) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!ok) {
        delete data;
        delete handle;
        return nullptr;
    }
    return handle;
}

void ThreadJoin(ThreadHandle *thread) {
    if (!thread) return;
    pthread_join(thread->thread, nullptr);
    delete thread;
}
