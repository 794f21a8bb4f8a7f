// A small blocking HTTP/1.1 client for the tests and the load generator: one kept-alive connection, every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResult {
    int status = 0;  // 0: no answer (error says why)
    HttpHeaders headers;
    std::string body;
    std::string error;

    explicit operator bool() const { return status != 0; }
    // The first header of that name (ASCII case ignored), or empty.
    std::string Header(std::string_view name) const;
};

class HttpClient {
public:
    // host: a dotted IPv4 address. Each request waits at most timeout.
    HttpClient(std::string host, uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    ~HttpClient();
    HttpClient(HttpClient &&) noexcept;
    HttpClient &operator=(HttpClient &&) noexcept;

    HttpResult Get(std::string_view target, const HttpHeaders &headers = {});
    HttpResult Post(std::string_view target, std::string_view body, std::string_view contentType,
                    const HttpHeaders &headers = {});
    // Sends a request (on the connection kept from the last one when it is still open).
    HttpResult Request(std::string_view method, std::string_view target, const HttpHeaders &headers,
                       std::string_view body);
    // A streamed answer: the head, then body bytes to each as they come, until
    // each returns false or the server ends the stream. The result holds the
    // head (and no body); the connection is closed afterwards.
    HttpResult Stream(std::string_view target, const std::function<bool(std::string_view)> &each,
                      const HttpHeaders &headers = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
