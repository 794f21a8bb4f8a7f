// The status report: jobs, sums and estimates from the client table, rendered as window fields and an HTML fragment.
#include "report.h"

#include "clock.h"
#include "file_calls.h"
#include "format.h"
#include "settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kTableOpen = "<table border=1 cellpadding=3 cellspacing=0><tbody align=middle>";
constexpr std::string_view kTableClose = "</tbody></table><br>";
constexpr std::string_view kHeaderRow =
    "<tr><td>CPU</td><td>Job</td><td>On Frame</td><td>Total Passes</td><td>Average</td>"
    "<td>Recent Average</td><td>Last</td><td>At</td></tr>";
constexpr std::string_view kNotAvailable = "-";

// A tick count from a double, when it is finite and fits 64 bits.
std::optional<int64_t> ToTicks(double value) {
    if (!std::isfinite(value) || !(std::fabs(value) < 9223372036854775808.0)) return std::nullopt;
    return static_cast<int64_t>(value);
}

Estimates Estimate(uint64_t done, uint64_t total, uint64_t remainingPasses, double throughput, uint64_t start,
                   uint64_t now) {
    Estimates e;
    if (total > 0) e.percent = static_cast<double>(done) * 100.0 / static_cast<double>(total);
    if (throughput > 0.0) e.timePerPass = ToTicks(1.0 / throughput);
    e.elapsed = static_cast<int64_t>(now - start);  // differences of instants, two's complement
    e.remainingPasses = remainingPasses;
    // Without a total there is nothing to estimate; a finished job needs no throughput.
    if (total > 0) {
        if (remainingPasses == 0) {
            e.remaining = 0;
        } else if (throughput > 0.0) {
            e.remaining = ToTicks(static_cast<double>(remainingPasses) / throughput);
        }
    }
    if (e.remaining && static_cast<uint64_t>(*e.remaining) <= ~0ULL - now) {
        e.endTime = now + static_cast<uint64_t>(*e.remaining);
    }
    return e;
}

// Texts of the report's cells, in one form.
struct Cells {
    DisplayForm form;

    static std::string Number(uint64_t v) { return std::to_string(v); }
    static std::string Signed(int64_t v) { return std::to_string(v); }

    std::string Duration(int64_t ticks) const {
        char text[kFormatBufferSize];
        FormatDuration(ticks, form, text);
        return text;
    }
    std::string Duration(const std::optional<int64_t> &ticks) const {
        return ticks ? Duration(*ticks) : std::string(kNotAvailable);
    }
    std::string Rate(const std::optional<double> &value) const {
        if (!value) return std::string(kNotAvailable);
        char text[kFormatBufferSize];
        FormatRate(*value, form, text);
        return text;
    }
    static std::string DateTime(uint64_t instant) {
        char text[kFormatBufferSize];
        FormatDateTime(&instant, text, sizeof text);
        return text;
    }
    static std::string DateTime(const std::optional<uint64_t> &instant) {
        return instant ? DateTime(*instant) : std::string(kNotAvailable);
    }
    // "%d.%06d%%" of the truncated whole and millionths.
    static std::string Percent(const std::optional<double> &p) {
        if (!p || !std::isfinite(*p) || !(std::fabs(*p) < 9.2e18)) return std::string(kNotAvailable);
        const int64_t whole = static_cast<int64_t>(*p);
        const int64_t millionths = static_cast<int64_t>((*p - static_cast<double>(whole)) * 1000000.0);
        std::string digits = std::to_string(millionths < 0 ? -millionths : millionths);
        return std::to_string(whole) + "." + std::string(digits.size() < 6 ? 6 - digits.size() : 0, '0') + digits +
               "%";
    }
};

// Locale texts come from the system, not from us: keep them from being read as markup.
void AppendEscaped(std::string &html, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': html += "&amp;"; break;
            case '<': html += "&lt;"; break;
            case '>': html += "&gt;"; break;
            case '"': html += "&quot;"; break;
            default: html += c;
        }
    }
}

void Cell(std::string &html, std::string_view text) {
    html += "<td>";
    html += text;
    html += "</td>";
}

void StatRow(std::string &html, std::string_view label, std::string_view value, bool escape = false) {
    html += "<tr><td>";
    html += label;
    html += "</td><td>";
    if (escape) {
        AppendEscaped(html, value);
    } else {
        html += value;
    }
    html += "</td></tr>";
}

void CpuRowHtml(std::string &html, const Cells &cells, const CpuRow &row) {
    html += "<tr>";
    if (!row.job) {
        html += "<td>0</td><td>0</td><td>0</td><td>0</td><td>-</td><td>-</td><td>-</td><td>-</td>";
    } else {
        const StatusRecord &r = *row.record;
        Cell(html, cells.Signed(static_cast<int64_t>(r.cpuIndex) + 1));
        Cell(html, cells.Number(row.job));
        Cell(html, cells.Signed(r.currentFrame));
        Cell(html, cells.Number(r.passesDone));
        Cell(html, cells.Duration(row.averagePassTime));
        Cell(html, cells.Duration(r.recentPassTime));
        Cell(html, cells.Duration(r.lastPassTime));
        html += "<td>";
        AppendEscaped(html, cells.DateTime(row.passEnd));
        html += "</td>";
    }
    html += "</tr>";
}

void CopyField(StatusFields &fields, int index, const std::string &text) {
    const size_t n = std::min(text.size(), sizeof fields.text[index] - 1);
    std::memcpy(fields.text[index], text.data(), n);
    fields.text[index][n] = '\0';
}

}  // namespace

void ComputeReport(const ClientTable &table, uint64_t now, ReportData &data, const StallCheck &stall) {
    data = ReportData();
    data.now = now;
    data.rows.reserve(table.count);
    data.jobs.reserve(table.count);
    OverallStats &all = data.overall;
    const StatusRecord *identity = nullptr;  // the current job's first record
    uint64_t lastUpdate = 0;
    for (uint32_t i = 0; i < table.count; ++i) {
        const StatusRecord &r = ClientAt(table, i).record;
        CpuRow row{&r, 0, 0, 0, false};
        if (r.hasData) {
            if (!identity || CompareJobIdentity(*identity, r) != 0) {
                identity = &r;
                data.jobs.emplace_back();
            }
            JobStats &job = data.jobs.back();
            job.cpuCount += 1;
            job.totalPasses = std::max(job.totalPasses, r.totalPasses);
            job.passesPerFrame = std::max(job.passesPerFrame, r.passesPerFrame);
            job.startTime = std::min(job.startTime, r.startTime);
            job.passesDone += r.passesDone;
            // A CPU without a pass time yet (or a nonsensical one) adds
            // nothing, nor does one that has gone silent.
            row.stalled = IsStalled(ClientAt(table, i), stall.nowNs, stall.stallSeconds);
            if (row.stalled) {
                job.stalledCpus += 1;
                all.stalledCpus += 1;
            } else if (r.recentPassTime > 0) {
                job.throughput += 1.0 / static_cast<double>(r.recentPassTime);
                job.timedCpus += 1;
            }
            all.activeCpus += 1;
            all.earliestStart = std::min(all.earliestStart, job.startTime);

            row.job = static_cast<uint32_t>(data.jobs.size());
            row.averagePassTime = r.passesDone ? r.elapsedTime / static_cast<int64_t>(r.passesDone) : r.elapsedTime;
            row.passEnd = r.passStartTime + static_cast<uint64_t>(r.lastPassTime);
            lastUpdate = std::max(lastUpdate, row.passEnd);
        }
        data.rows.push_back(row);
    }
    data.lastUpdate = lastUpdate ? lastUpdate : now;

    uint64_t remainingSum = 0;
    for (JobStats &job : data.jobs) {
        const uint64_t remainingPasses = job.totalPasses > job.passesDone ? job.totalPasses - job.passesDone : 0;
        job.estimates = Estimate(job.passesDone, job.totalPasses, remainingPasses, job.throughput, job.startTime, now);
        if (job.throughput > 0.0) {
            job.passesPerHour = job.throughput * static_cast<double>(kTicksPerHour);
            if (job.passesPerFrame > 0) job.framesPerHour = *job.passesPerHour / job.passesPerFrame;
        }
        all.doneSum += job.passesDone;
        all.totalSum += job.totalPasses;
        all.throughputSum += job.throughput;
        remainingSum += remainingPasses;
    }
    if (all.activeCpus > 0) {
        // Remaining passes are summed per job, so one job's overshoot does not hide another's rest.
        all.estimates = Estimate(all.doneSum, all.totalSum, remainingSum, all.throughputSum, all.earliestStart, now);
        if (all.throughputSum > 0.0) all.passesPerHour = all.throughputSum * static_cast<double>(kTicksPerHour);
    }
}

void RenderReportHtml(const ReportData &data, const DisplayForm &form, std::string &html) {
    const Cells cells{form};
    html.clear();
    html.reserve(256 + data.rows.size() * 200 + data.jobs.size() * 900);
    html += "Last Update: ";
    AppendEscaped(html, cells.DateTime(data.lastUpdate));
    html += "<br><font size=1>times are HH:MM:SS per pass</font><br><br>";
    html += kTableOpen;
    if (!data.rows.empty()) html += kHeaderRow;
    for (const CpuRow &row : data.rows) CpuRowHtml(html, cells, row);
    const OverallStats &all = data.overall;
    if (all.activeCpus == 0) {
        html += "<tr><td>No render in progress</td></tr>";
        html += kTableClose;
        return;
    }
    html += kTableClose;

    const size_t jobCount = data.jobs.size();
    for (size_t j = 0; j < jobCount; ++j) {
        const JobStats &job = data.jobs[j];
        const Estimates &e = job.estimates;
        html += kTableOpen;
        if (jobCount == 1) {
            html += "<tr><td colspan=2>Job Stats</td></tr>";
        } else {
            html += "<tr><td colspan=2>Job " + std::to_string(j + 1) + " Stats</td></tr>";
        }
        StatRow(html, "CPUs", cells.Number(job.cpuCount));
        StatRow(html, "Passes Rendered", cells.Number(job.passesDone));
        StatRow(html, "Total Passes", cells.Number(job.totalPasses));
        StatRow(html, "Percent Complete", cells.Percent(e.percent));
        StatRow(html, "Recent Throughput", cells.Duration(e.timePerPass));
        StatRow(html, "Recent Throughput (frame/hour)", cells.Rate(job.framesPerHour));
        StatRow(html, "Start Time", cells.DateTime(job.startTime), true);
        StatRow(html, "Elapsed Time", cells.Duration(e.elapsed));
        StatRow(html, "Estimated Remaining Time", cells.Duration(e.remaining));
        StatRow(html, "Estimated End Time", cells.DateTime(e.endTime), true);
        html += kTableClose;
    }

    if (jobCount >= 2) {
        const Estimates &e = all.estimates;
        html += kTableOpen;
        html += "<tr><td colspan=2>Overall Stats</td></tr>";
        StatRow(html, "CPUs", cells.Number(all.activeCpus));
        StatRow(html, "Start Time", cells.DateTime(all.earliestStart), true);
        StatRow(html, "Elapsed Time", cells.Duration(e.elapsed));
        StatRow(html, "Estimated Remaining Time", cells.Duration(e.remaining));
        StatRow(html, "Estimated End Time", cells.DateTime(e.endTime), true);
        StatRow(html, "Percent Complete", cells.Percent(e.percent));
        StatRow(html, "Recent Throughput (pass/hour)", cells.Rate(all.passesPerHour));
        StatRow(html, "Recent Throughput", cells.Duration(e.timePerPass));
        html += kTableClose;
    }
}

void RenderStatusFields(const ReportData &data, const DisplayForm &form, StatusFields &fields) {
    const Cells cells{form};
    const OverallStats &all = data.overall;
    CopyField(fields, 0, cells.Number(all.activeCpus));
    CopyField(fields, 1, cells.Number(all.doneSum));
    CopyField(fields, 2, cells.Number(all.totalSum));
    if (all.activeCpus == 0) {
        for (int i = 3; i < kFieldCount; ++i) fields.text[i][0] = '\0';
        return;
    }
    const Estimates &e = all.estimates;
    CopyField(fields, 3, cells.Percent(e.percent));
    CopyField(fields, 4, cells.DateTime(all.earliestStart));
    CopyField(fields, 5, cells.Duration(e.elapsed));
    CopyField(fields, 6, cells.Duration(e.timePerPass));
    CopyField(fields, 7, cells.Duration(e.remaining));
    CopyField(fields, 8, cells.DateTime(e.endTime));
}

void BuildReport(const ClientTable &table, uint64_t now, const DisplayForm &form, StatusReport &report,
                 const StallCheck &stall) {
    ComputeReport(table, now, report.data, stall);
    RenderStatusFields(report.data, form, report.fields);
    RenderReportHtml(report.data, form, report.html);
}

int WriteWholeFile(const FileContent &file) { return FileWriteAtomic(file.path.c_str(), file.data.data(), file.data.size()); }

void FileWriteStatus::Record(const std::string &path, FileFault fault) {
    std::string error;
    if (fault != FileFault::None) error = "cannot write " + path + ": " + FileFaultText(fault);
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error == error_) return;
        line = error.empty() ? "wrote " + path + " again" : error;
        error_ = std::move(error);
        ++changes_;
    }
    if (say_) say_(line);
}

std::string FileWriteStatus::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

uint64_t FileWriteStatus::Changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
}

int WriteReportFile(const FileContent &file, FileWriteStatus &status) {
    FileFault fault = FileFault::Other;
    const int written = FileWriteAtomic(file.path.c_str(), file.data.data(), file.data.size(), &fault);
    status.Record(file.path, written ? FileFault::None : fault);
    return written;
}

void WriteHtmlFile(const ServerSettings &settings, const StatusReport &report, FileSink *sink,
                   FileWriteStatus *status) {
    if (!settings.htmlOutput) return;
    try {
        FileContent file{std::string(settings.htmlPath, strnlen(settings.htmlPath, sizeof settings.htmlPath - 1)),
                         report.html};
        if (sink) {
            sink->Post(std::move(file));
        } else if (status) {
            WriteReportFile(file, *status);
        } else {
            WriteWholeFile(file);
        }
    } catch (const std::bad_alloc &) {
        // The file keeps its last content until a refresh that has the memory.
    }
}

int RefreshStatus(const ClientTable &table, const ServerSettings &settings, StatusReport &report,
                  FileSink *sink, FileWriteStatus *status) {
    try {
        StatusReport fresh;
        const StallCheck stall{ClientClockNow(table), static_cast<uint32_t>(std::max(settings.stallSeconds, 0))};
        BuildReport(table, NowFileTime(), settings.Form(), fresh, stall);
        if (status) {
            fresh.htmlErrorChanges = status->Changes();  // first: a change after it calls for another refresh
            if (settings.htmlOutput) fresh.htmlError = status->Error();
        }
        report = std::move(fresh);
    } catch (const std::bad_alloc &) {
        // Out of memory: the views keep their texts and the file its last
        // content; the next refresh tries again.
        return 0;
    }
    WriteHtmlFile(settings, report, sink, status);
    return 1;
}
