// The blocking HTTP client on Boost.Beast: asynchronous operations run to completion under a deadline.
#include <utility>  // before Boost: its awaitable header needs std::exchange under C++20

#include "http_client.h"

#include "ascii_case.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <optional>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

template <class Fields>
void CopyHeaders(const Fields &fields, HttpHeaders &out) {
    for (const auto &f : fields) out.emplace_back(std::string(f.name_string()), std::string(f.value()));
}

}  // namespace

std::string HttpResult::Header(std::string_view name) const {
    for (const auto &[key, value] : headers) {
        if (EqualsNoCase(key, name)) return value;
    }
    return std::string();
}

struct HttpClient::Impl {
    std::string host;
    uint16_t port;
    std::chrono::milliseconds timeout;
    asio::io_context io;
    std::optional<beast::tcp_stream> stream;
    beast::flat_buffer buffer;

    // Runs the operations started until they finish (each has its deadline).
    void Run() {
        io.restart();
        io.run();
    }

    bool Connect(std::string &error) {
        if (stream && stream->socket().is_open()) return true;
        stream.emplace(io);
        buffer.clear();
        boost::system::error_code ec;
        const auto address = asio::ip::make_address_v4(host, ec);
        if (ec) {
            error = "bad address " + host;
            return false;
        }
        stream->expires_after(timeout);
        stream->async_connect(tcp::endpoint(address, port), [&](const boost::system::error_code &e) { ec = e; });
        Run();
        if (ec) {
            error = "connect: " + ec.message();
            stream.reset();
            return false;
        }
        return true;
    }

    bool SendRequest(std::string_view method, std::string_view target, const HttpHeaders &headers,
                     std::string_view body, std::string &error) {
        bhttp::request<bhttp::string_body> req;
        req.method_string(beast::string_view(method.data(), method.size()));
        req.target(beast::string_view(target.data(), target.size()));
        req.version(11);
        req.set(bhttp::field::host, host + ":" + std::to_string(port));
        for (const auto &[name, value] : headers) req.set(name, value);
        if (!body.empty() || method == "POST") {
            req.body() = std::string(body);
            req.prepare_payload();
        }
        boost::system::error_code ec;
        stream->expires_after(timeout);
        bhttp::async_write(*stream, req, [&](const boost::system::error_code &e, size_t) { ec = e; });
        Run();
        if (ec) error = "write: " + ec.message();
        return !ec;
    }
};

HttpClient::HttpClient(std::string host, uint16_t port, std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
    impl_->host = std::move(host);
    impl_->port = port;
    impl_->timeout = timeout;
}

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient &&) noexcept = default;
HttpClient &HttpClient::operator=(HttpClient &&) noexcept = default;

HttpResult HttpClient::Get(std::string_view target, const HttpHeaders &headers) {
    return Request("GET", target, headers, {});
}

HttpResult HttpClient::Post(std::string_view target, std::string_view body, std::string_view contentType,
                            const HttpHeaders &headers) {
    HttpHeaders all = headers;
    all.emplace_back("Content-Type", std::string(contentType));
    return Request("POST", target, all, body);
}

HttpResult HttpClient::Request(std::string_view method, std::string_view target, const HttpHeaders &headers,
                               std::string_view body) {
    HttpResult result;
    // A kept connection the server has closed meanwhile fails at once: one more try on a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = impl_->stream.has_value();
        if (!impl_->Connect(result.error)) return result;
        if (!impl_->SendRequest(method, target, headers, body, result.error)) {
            impl_->stream.reset();
            if (reused) continue;
            return result;
        }
        bhttp::response_parser<bhttp::string_body> parser;
        parser.body_limit(1ull << 30);
        if (method == "HEAD") parser.skip(true);
        boost::system::error_code ec;
        impl_->stream->expires_after(impl_->timeout);
        bhttp::async_read(*impl_->stream, impl_->buffer, parser,
                          [&](const boost::system::error_code &e, size_t) { ec = e; });
        impl_->Run();
        if (ec) {
            impl_->stream.reset();
            if (reused && ec == bhttp::error::end_of_stream) continue;
            result.error = "read: " + ec.message();
            return result;
        }
        const auto &res = parser.get();
        result.status = static_cast<int>(res.result_int());
        CopyHeaders(res, result.headers);
        result.body = res.body();
        if (!res.keep_alive()) impl_->stream.reset();
        return result;
    }
    return result;
}

HttpResult HttpClient::Stream(std::string_view target, const std::function<bool(std::string_view)> &each,
                              const HttpHeaders &headers) {
    HttpResult result;
    impl_->stream.reset();
    if (!impl_->Connect(result.error) || !impl_->SendRequest("GET", target, headers, {}, result.error)) {
        impl_->stream.reset();
        return result;
    }
    bhttp::response_parser<bhttp::empty_body> parser;
    boost::system::error_code ec;
    impl_->stream->expires_after(impl_->timeout);
    bhttp::async_read_header(*impl_->stream, impl_->buffer, parser,
                             [&](const boost::system::error_code &e, size_t) { ec = e; });
    impl_->Run();
    if (ec) {
        result.error = "read: " + ec.message();
        impl_->stream.reset();
        return result;
    }
    result.status = static_cast<int>(parser.get().result_int());
    CopyHeaders(parser.get(), result.headers);
    // The server sends a stream's body as it is, ending it by closing.
    bool more = true;
    if (impl_->buffer.size() > 0) {
        const auto data = impl_->buffer.data();
        more = each(std::string_view(static_cast<const char *>(data.data()), data.size()));
        impl_->buffer.clear();
    }
    char chunk[16384];
    while (more) {
        size_t n = 0;
        impl_->stream->expires_after(impl_->timeout);
        impl_->stream->async_read_some(asio::buffer(chunk), [&](const boost::system::error_code &e, size_t got) {
            ec = e;
            n = got;
        });
        impl_->Run();
        if (n > 0) more = each(std::string_view(chunk, n));
        if (ec) break;
    }
    impl_->stream.reset();
    return result;
}
