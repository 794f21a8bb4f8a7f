// The webhook's notifier: events queued by the core thread and posted as JSON from a thread of its own.
#pragma once

#include "http_post.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

struct ServerSettings;

// How the notifier posts. The defaults are the product's: 1,000 events may
// wait, each try ends after 10 s, 3 tries 1 s and 2 s apart.
struct NotifierConfig {
    size_t maxQueued = 1000;   // past it the oldest waiting event is dropped
    uint32_t tryTimeoutMs = 10000;
    uint32_t tries = 3;
    uint32_t firstBackoffMs = 1000;  // doubled after every further failed try
    // One try; HttpPostJson unless a test puts another in.
    int (*post)(const char *url, const char *body, size_t length, uint32_t timeoutMs,
                const std::atomic<bool> *abort, HttpPostResult &result) = HttpPostJson;
    // A line for the operator (dropped events); stderr unless set.
    void (*log)(void *context, const std::string &line) = nullptr;
    void *logContext = nullptr;
};

struct Notifier;

// The product's configuration, each try shortened to testMs when a test set it (0: not).
NotifierConfig ServerNotifierConfig(uint32_t testMs);

// Starts the posting thread; nullptr when no thread can be started (events
// are then not sent).
Notifier *NotifierStart(const NotifierConfig &config = {});
// Queues body for url without waiting on any peer; an empty url sends
// nothing. event names the event in the operator's lines. Accepts a null
// notifier. Any thread.
void NotifierPostBody(Notifier *notifier, std::string_view url, std::string_view event, std::string body);
// The webhook that NotifierPost sends to from now on (empty: none). The core
// thread keeps it equal to the settings' webhook, so threads that cannot read
// the settings can post. Any thread.
void NotifierSetWebhook(Notifier *notifier, std::string_view url);
// {"event": event, "job": job}: job is one object already written as JSON
// (a finished run's history entry), posted to the webhook last set. Any thread.
void NotifierPost(Notifier *notifier, std::string_view event, std::string_view jobJson);

struct NotifierCounts {
    uint64_t queued = 0;     // events taken by NotifierPostBody
    uint64_t delivered = 0;  // answered 2xx
    uint64_t failed = 0;     // given up after every try
    uint64_t dropped = 0;    // pushed out of a full queue, or left at the stop
    uint64_t tries = 0;
};
NotifierCounts NotifierTotals(const Notifier *notifier);
// Waits until nothing is queued or being posted, at most timeoutMs. true when so.
bool NotifierIdle(Notifier *notifier, uint32_t timeoutMs);

// What the servers' stop gives the queue.
inline constexpr uint32_t kNotifierStopDrainMs = 2000;
// Gives the queue up to drainMs to be posted, then aborts the try under way
// and ends the thread, waiting at most a second more for it (a try that will
// not end is left to finish on its own). Frees the notifier; accepts nullptr.
// true when the thread ended; false when it was left behind.
bool NotifierStop(Notifier *notifier, uint32_t drainMs);
