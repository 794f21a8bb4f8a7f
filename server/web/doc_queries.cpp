// Reading the document routes' query strings: every value checked, a reason for the first bad one.
#include "doc_queries.h"

#include "http_query.h"

#include <charconv>

namespace {

template <typename T>
bool WholeNumber(const std::string &text, T &out) {
    const char *end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, out);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

}  // namespace

bool ParseCpuQuery(std::string_view query, CpuQuery &out, std::string &error) {
    out = CpuQuery();
    for (const auto &[name, value] : ParseQuery(query)) {
        if (name == "job") {
            if (!WholeNumber(value, out.job)) {
                error = "job must be a job number (0 or none for every job)";
                return false;
            }
        } else if (name == "stalled") {
            if (value != "0" && value != "1") {
                error = "stalled must be 0 or 1";
                return false;
            }
            out.stalledOnly = value == "1";
        } else if (name == "sort") {
            std::string_view key = value;
            out.descending = !key.empty() && key.front() == '-';
            if (out.descending) key.remove_prefix(1);
            if (key == "table") {
                out.sort = CpuQuery::Sort::Table;
            } else if (key == "cpu") {
                out.sort = CpuQuery::Sort::Cpu;
            } else {
                error = "sort must be table or cpu, with a leading - for descending";
                return false;
            }
        } else if (name == "offset") {
            if (!WholeNumber(value, out.offset)) {
                error = "offset must be a whole number";
                return false;
            }
        } else if (name == "limit") {
            if (!WholeNumber(value, out.limit) || out.limit < 1 || out.limit > kCpuPageMax) {
                error = "limit must be 1 to " + std::to_string(kCpuPageMax);
                return false;
            }
        }
    }
    return true;
}

bool ParseHistoryQuery(std::string_view query, uint32_t &limit, std::string &error) {
    limit = kHistoryPageDefault;
    for (const auto &[name, value] : ParseQuery(query)) {
        if (name != "limit") continue;
        const char *end = value.data() + value.size();
        const auto r = std::from_chars(value.data(), end, limit);
        if (value.empty() || r.ec != std::errc() || r.ptr != end || limit < 1 || limit > kHistoryPageMax) {
            error = "limit must be 1 to " + std::to_string(kHistoryPageMax);
            return false;
        }
    }
    return true;
}
