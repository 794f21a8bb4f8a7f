// The webhook's notifier: a bounded queue of events and the thread that posts them, with retries.
#include "notifier.h"

#include "webhook_events.h"

#include "settings.h"
#include "worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

namespace {

struct Event {
    std::string url;  // the webhook in force when the event was queued
    std::string name;
    std::string body;
};

}  // namespace

// Shared with the thread, which keeps it alive should the stop leave it behind.
struct NotifierState {
    NotifierConfig config;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Event> queue;
    std::string webhook;  // where NotifierPost sends
    bool busy = false;    // an event is being posted
    bool quit = false;    // stop: no more tries, no more back-off waits
    bool ended = false;   // the thread has returned
    uint64_t droppedUnlogged = 0;  // pushed out since the last line said so
    std::atomic<bool> abort{false};
    NotifierCounts counts;

    void Log(const std::string &line) {
        if (config.log) {
            config.log(config.logContext, line);
        } else {
            std::fprintf(stderr, "pellicksrv: %s\n", line.c_str());
        }
    }
};

struct Notifier {
    std::shared_ptr<NotifierState> state;
    WorkerThread<NotifierState> worker;
};

namespace {

// Posts one event with its tries; called without the lock.
bool Deliver(NotifierState &s, const Event &event, std::string &lastError) {
    uint32_t backoff = s.config.firstBackoffMs;
    for (uint32_t attempt = 1; attempt <= s.config.tries; ++attempt) {
        HttpPostResult result;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            ++s.counts.tries;
        }
        if (s.config.post(event.url.c_str(), event.body.data(), event.body.size(), s.config.tryTimeoutMs, &s.abort,
                          result)) {
            return true;
        }
        lastError = result.error[0] ? result.error : "failed";
        if (attempt == s.config.tries) break;
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.changed.wait_for(lock, std::chrono::milliseconds(backoff), [&] { return s.quit; })) {
            lastError += " (stopped)";
            return false;
        }
        backoff *= 2;
    }
    return false;
}

void Run(NotifierState &s) {
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return !s.queue.empty() || s.quit; });
        if (s.droppedUnlogged) {
            const uint64_t n = s.droppedUnlogged;
            s.droppedUnlogged = 0;
            lock.unlock();
            s.Log("webhook: the queue was full, dropped the " + std::to_string(n) + " oldest event(s)");
            lock.lock();
        }
        if (s.quit || s.queue.empty()) break;
        Event event = std::move(s.queue.front());
        s.queue.pop_front();
        s.busy = true;
        lock.unlock();
        std::string error;
        const bool sent = Deliver(s, event, error);
        if (!sent) {
            s.Log("webhook: gave up on " + event.name + " to " + WebhookShown(event.url) + " after " +
                  std::to_string(s.config.tries) + " tries: " + error);
        }
        lock.lock();
        s.busy = false;
        ++(sent ? s.counts.delivered : s.counts.failed);
        s.changed.notify_all();
    }
    s.counts.dropped += s.queue.size();
    if (!s.queue.empty()) s.Log("webhook: stopped with " + std::to_string(s.queue.size()) + " event(s) unsent");
    s.queue.clear();
    s.ended = true;
    s.changed.notify_all();
}

}  // namespace

NotifierConfig ServerNotifierConfig(uint32_t testMs) {
    NotifierConfig config;
    if (testMs > 0) config.tryTimeoutMs = testMs;
    return config;
}

Notifier *NotifierStart(const NotifierConfig &config) {
    auto notifier = std::make_unique<Notifier>();
    notifier->state = std::make_shared<NotifierState>();
    notifier->state->config = config;
    if (notifier->state->config.maxQueued == 0) notifier->state->config.maxQueued = 1;
    if (notifier->state->config.tries == 0) notifier->state->config.tries = 1;
    if (!notifier->worker.Start(notifier->state, Run)) return nullptr;
    return notifier.release();
}

void NotifierPostBody(Notifier *notifier, std::string_view url, std::string_view event, std::string body) {
    if (!notifier || url.empty()) return;
    NotifierState &s = *notifier->state;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.quit) return;
        while (s.queue.size() >= s.config.maxQueued) {
            s.queue.pop_front();
            ++s.counts.dropped;
            ++s.droppedUnlogged;
        }
        s.queue.push_back({std::string(url), std::string(event), std::move(body)});
        ++s.counts.queued;
    }
    s.changed.notify_all();
}


void NotifierSetWebhook(Notifier *notifier, std::string_view url) {
    if (!notifier) return;
    std::lock_guard<std::mutex> lock(notifier->state->mutex);
    if (notifier->state->webhook != url) notifier->state->webhook.assign(url);
}

void NotifierPost(Notifier *notifier, std::string_view event, std::string_view jobJson) {
    if (!notifier) return;
    std::string url;
    {
        std::lock_guard<std::mutex> lock(notifier->state->mutex);
        url = notifier->state->webhook;
    }
    if (url.empty()) return;
    NotifierPostBody(notifier, url, event, EventEnvelope(event, {{"job", jobJson}}));
}

NotifierCounts NotifierTotals(const Notifier *notifier) {
    if (!notifier) return {};
    std::lock_guard<std::mutex> lock(notifier->state->mutex);
    return notifier->state->counts;
}

bool NotifierIdle(Notifier *notifier, uint32_t timeoutMs) {
    if (!notifier) return true;
    NotifierState &s = *notifier->state;
    return notifier->worker.WaitUntil([&] { return (s.queue.empty() && !s.busy) || s.ended; }, timeoutMs);
}

bool NotifierStop(Notifier *notifier, uint32_t drainMs) {
    if (!notifier) return true;
    NotifierIdle(notifier, drainMs);
    NotifierState &s = *notifier->state;
    notifier->worker.RequestQuit([](NotifierState &state) { state.abort = true; });  // the try under way ends too
    const bool ended = notifier->worker.WaitUntil([&] { return s.ended; }, 1000);
    notifier->worker.Finish(ended);  // not ended: a post that will not end, left to finish on its own
    delete notifier;
    return ended;
}
