// The per-CPU table a page at a time: filtering and sorting of the snapshot's CPUs, the page's JSON.
#include "cpu_page.h"

#include "json_writer.h"
#include "status_json.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// The filter: whether a CPU belongs to the selection.
bool Selected(const WebCpu &cpu, const CpuQuery &q) {
    if (q.job != 0 && cpu.job != q.job) return false;
    if (q.stalledOnly && !cpu.stalled) return false;
    return true;
}

}  // namespace

std::string CpuPageJson(const WebSnapshot &s, const CpuQuery &q) {
    std::vector<uint32_t> rows;
    rows.reserve(s.cpus.size());
    for (uint32_t i = 0; i < s.cpus.size(); ++i) {
        if (Selected(s.cpus[i], q)) rows.push_back(i);
    }
    const size_t total = rows.size();
    const size_t first = static_cast<size_t>(std::min<uint64_t>(q.offset, total));
    const size_t count = std::min<size_t>(q.limit, total - first);
    // Only the rows up to the end of the page need to be in order.
    const auto before = [&](uint32_t a, uint32_t b) {
        if (q.sort == CpuQuery::Sort::Cpu) {
            const int64_t ca = s.cpus[a].cpu, cb = s.cpus[b].cpu;
            if (ca != cb) return q.descending ? ca > cb : ca < cb;
        }
        return q.descending ? a > b : a < b;  // the report's order, which the snapshot keeps
    };
    if (q.sort != CpuQuery::Sort::Table || q.descending) {
        std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(first + count), rows.end(), before);
    }

    std::string out;
    out.reserve(96 + count * 260);
    JsonWriter w(out);
    w.BeginObject();
    w.Member("generation", s.generation);
    w.Member("total", total);
    w.Member("offset", first);
    w.Member("limit", q.limit);
    w.Key("cpus");
    w.BeginArray();
    for (size_t i = first; i < first + count; ++i) WriteCpuJson(w, s.cpus[rows[i]]);
    w.EndArray();
    w.EndObject();
    return out;
}
