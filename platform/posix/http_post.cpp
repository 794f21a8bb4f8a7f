// Posting a JSON body with libcurl, on a multi handle so that an abort takes effect within 50 ms.
#include "http_post.h"

#include <curl/curl.h>

#include <cstdio>
#include <mutex>

namespace {

void SetError(HttpPostResult &result, const char *text) { std::snprintf(result.error, sizeof result.error, "%s", text); }

// How often a waiting transfer looks at its abort flag. libcurl's progress
// callback comes only about once a second while nothing moves (a hook that
// hangs), too seldom for a stop that waits a second at most.
constexpr int kAbortCheckMs = 50;

// The transfer on a multi handle of its own, polled until it is done, it
// times out (CURLOPT_TIMEOUT_MS) or abort is set.
CURLcode Perform(CURL *curl, const std::atomic<bool> *abort, char *message, size_t capacity) {
    CURLM *multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    CURLMcode mc = curl_multi_add_handle(multi, curl);
    CURLcode code = CURLE_OK;
    for (int running = 1; mc == CURLM_OK;) {
        mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) break;
        if (!running) {
            int queued = 0;
            const CURLMsg *done = curl_multi_info_read(multi, &queued);
            code = done && done->msg == CURLMSG_DONE ? done->data.result : CURLE_RECV_ERROR;
            break;
        }
        if (abort && abort->load()) {
            code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        mc = curl_multi_poll(multi, nullptr, 0, kAbortCheckMs, nullptr);
    }
    if (mc != CURLM_OK) {
        std::snprintf(message, capacity, "%s", curl_multi_strerror(mc));
        code = CURLE_FAILED_INIT;
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return code;
}

// The answer's body is not needed: read and dropped.
size_t Discard(char *, size_t size, size_t count, void *) { return size * count; }

}  // namespace

int HttpPostJson(const char *url, const char *body, size_t bodyLength, uint32_t timeoutMs,
                 const std::atomic<bool> *abort, HttpPostResult &result) {
    result = HttpPostResult();
    static std::once_flag started;
    static CURLcode global = CURLE_OK;
    std::call_once(started, [] { global = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (global != CURLE_OK) {
        SetError(result, "cannot start libcurl");
        return 0;
    }
    CURL *curl = curl_easy_init();
    if (!curl) {
        SetError(result, "cannot start a transfer");
        return 0;
    }
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM for name look-ups on a thread
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    const CURLcode code = headers ? Perform(curl, abort, message, sizeof message) : CURLE_OUT_OF_MEMORY;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    result.status = static_cast<int>(status);
    if (code != CURLE_OK) {
        SetError(result, code == CURLE_ABORTED_BY_CALLBACK ? "aborted"
                         : code == CURLE_OPERATION_TIMEDOUT ? "timed out"
                         : message[0]                       ? message
                                                            : curl_easy_strerror(code));
        return 0;
    }
    if (status < 200 || status > 299) {
        std::snprintf(result.error, sizeof result.error, "the answer was HTTP %ld", status);
        return 0;
    }
    return 1;
}
