// Posting a JSON body to a web address: one blocking try, bounded in time, that another thread can abort.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct HttpPostResult {
    int status = 0;        // the answer's HTTP status; 0 when none came
    char error[256] = {};  // why the try failed, NUL-terminated; empty on success
};

// POSTs body with "Content-Type: application/json" to url (http:// or
// https://, no redirects followed, no proxy) and waits for the answer's
// status. The whole try (name look-up, connect, send, answer) ends after
// timeoutMs. While abort is set the try ends soon (within 50 ms on Linux).
// 1 when the answer is 2xx; otherwise 0 with result saying why.
int HttpPostJson(const char *url, const char *body, size_t bodyLength, uint32_t timeoutMs,
                 const std::atomic<bool> *abort, HttpPostResult &result);
