// Fuzz target for the dashboard's request handling: bytes of any shape through the server's request reader, then the routes' readers.
//
// The same bytes cut into different chunks must give the same requests and
// the same refusal (a header the bytes end in may be judged early when it
// comes whole, or not yet when it comes in pieces); every request stays
// within the size limits; the query,
// cookie and token readers, the CPU page's query and the options body parser
// take whatever a request holds without reading past it.
#include "cpu_page.h"
#include "doc_queries.h"
#include "fuzz_support.h"
#include "http_query.h"
#include "http_server.h"
#include "options.h"
#include "token.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

// What a request amounts to, for comparing two readings of the same bytes.
std::string Digest(const HttpRequest &req) {
    std::string d;
    for (std::string_view part : {req.method, req.path, req.query, req.body}) {
        d += std::to_string(part.size()) + ":";
        d += part;
    }
    for (const auto &[name, value] : req.headers) {
        d += std::to_string(name.size()) + "=" + std::to_string(value.size()) + ";";
    }
    return d;
}

void ReadRoutes(const HttpRequest &req, bool ansiPaths) {
    size_t headerBytes = req.method.size() + req.path.size() + req.query.size();
    for (const auto &[name, value] : req.headers) headerBytes += name.size() + value.size();
    FUZZ_CHECK(headerBytes <= kHttpMaxHeader, "a request of %zu header bytes got through", headerBytes);
    FUZZ_CHECK(req.body.size() <= kHttpMaxBody, "a body of %zu bytes got through", req.body.size());

    const auto params = ParseQuery(req.query);
    FUZZ_CHECK(params.size() <= kMaxQueryParameters, "%zu parameters", params.size());
    for (const auto &[name, value] : params) {
        FUZZ_CHECK(name.size() + value.size() <= req.query.size(), "a parameter longer than its query");
    }
    CpuQuery page;
    std::string pageError;
    if (ParseCpuQuery(req.query, page, pageError)) {
        FUZZ_CHECK(page.limit >= 1 && page.limit <= kCpuPageMax, "a page of %u rows", page.limit);
        // A page of a small table stays within it, wherever the offset points.
        WebSnapshot snapshot;
        snapshot.cpus.resize(3);
        snapshot.cpus[1].job = 1;
        const std::string json = CpuPageJson(snapshot, page);
        FUZZ_CHECK(json.size() < 1024, "a page of %zu bytes from 3 CPUs", json.size());
    } else {
        FUZZ_CHECK(!pageError.empty(), "a page refused without a reason");
    }
    std::string token;
    if (QueryValue(req.query, "token", token)) {
        FUZZ_CHECK(token.size() <= req.query.size(), "a token longer than its query");
    }
    const std::string_view cookies = req.Header("Cookie");
    const std::string_view carried = RequestToken(req.Header("Authorization"), cookies, "pellick-token-10432");
    const std::string stored(48, 'a');
    FUZZ_CHECK(SameToken(stored, carried) == (carried == stored), "the token comparison is wrong");
    ChangeAllowed(req.remoteAddress, req.Header("Host"), req.Header("Origin"));

    OptionsChange change;
    std::string error;
    if (ParseOptionsChange(req.body, ansiPaths, change, error)) {
        if (change.htmlPath) {
            FUZZ_CHECK(!change.htmlPath->empty() && change.htmlPath->size() <= 259, "a path of %zu bytes",
                       change.htmlPath->size());
            FUZZ_CHECK(change.htmlPath->front() == '/', "a path that is not absolute");
        }
    } else {
        FUZZ_CHECK(!error.empty(), "a refusal without a reason");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const size_t chunk = in.Byte() % 64 + 1;
    const bool ansiPaths = in.Byte() & 1;
    const std::string_view bytes(reinterpret_cast<const char *>(data) + (size - in.Left()), in.Left());

    std::vector<std::string> whole, cut;
    const int wholeStatus = HttpReadRequests(bytes, bytes.size(), [&](const HttpRequest &req) {
        whole.push_back(Digest(req));
        ReadRoutes(req, ansiPaths);
    });
    const int cutStatus = HttpReadRequests(bytes, chunk, [&](const HttpRequest &req) { cut.push_back(Digest(req)); });
    FUZZ_CHECK(wholeStatus == 0 || wholeStatus == 400 || wholeStatus == 413 || wholeStatus == 431, "status %d",
               wholeStatus);
    FUZZ_CHECK(cutStatus == wholeStatus || cutStatus == 0 || wholeStatus == 0,
               "in chunks of %zu: status %d, whole: %d", chunk, cutStatus, wholeStatus);
    FUZZ_CHECK(cut == whole, "in chunks of %zu: %zu requests, whole: %zu", chunk, cut.size(), whole.size());
    return 0;
}
