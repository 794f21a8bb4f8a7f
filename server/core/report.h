// The status report: the nine window fields and the HTML fragment, computed from the client table.
#pragma once

#include "client_table.h"
#include "files.h"
#include "format.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Window value fields 1000..1008, in that order.
inline constexpr int kFieldFirstId = 1000;
inline constexpr int kFieldCount = 9;

struct StatusFields {
    char text[kFieldCount][260];
};

// The labels of the nine fields, in field order, as the window shows them.
inline constexpr std::array<const char *, kFieldCount> kFieldLabels = {
    "Active CPUs:",    "Passes Rendered:",  "Total Passes:",  "Percent Complete:", "Start Time:",
    "Elapsed Time:",   "Recent Time/Pass:", "Est Remaining:", "Est Complete at:",
};

// One hour in ticks.
inline constexpr int64_t kTicksPerHour = 36000000000;

// Estimates from progress and throughput at one instant. A figure that
// cannot be computed (no total yet, no CPU with a pass time) is empty.
struct Estimates {
    std::optional<double> percent;       // passesDone x 100 / totalPasses
    std::optional<int64_t> timePerPass;  // 1 / throughput: ticks per pass of all CPUs together
    int64_t elapsed = 0;                 // now - start
    uint64_t remainingPasses = 0;        // never below 0, also when the total was underestimated
    std::optional<int64_t> remaining;    // remainingPasses / throughput, ticks
    std::optional<uint64_t> endTime;     // now + remaining
};

// One row of the per-CPU table, in table order.
struct CpuRow {
    const StatusRecord *record;  // the table's record: valid until the table changes
    uint32_t job;                // 1-based job number, 0 for a connection without data
    int64_t averagePassTime;     // elapsedTime / passesDone, or elapsedTime before the first pass
    uint64_t passEnd;            // passStartTime + lastPassTime: end of the latest counted pass
    bool stalled;                // silent too long (IsStalled): adds nothing to throughput
};

// A run of CPUs with equal job identity.
struct JobStats {
    uint64_t passesDone = 0;      // sum over members
    uint32_t totalPasses = 0;     // largest member estimate (each CPU estimates the whole job)
    uint32_t passesPerFrame = 0;  // largest over members
    uint64_t startTime = ~0ULL;   // earliest member start
    double throughput = 0.0;      // passes per tick: sum of 1 / recentPassTime over timed members
    uint32_t cpuCount = 0;
    uint32_t timedCpus = 0;       // members not stalled with a positive recentPassTime
    uint32_t stalledCpus = 0;     // members stalled: counted in cpuCount, not in throughput
    std::optional<double> passesPerHour;  // throughput per hour, when there is any
    std::optional<double> framesPerHour;  // passesPerHour / passesPerFrame
    Estimates estimates;
};

struct OverallStats {
    uint32_t activeCpus = 0;  // records with data, stalled or not
    uint32_t stalledCpus = 0;
    uint64_t doneSum = 0;
    uint64_t totalSum = 0;
    double throughputSum = 0.0;  // passes per tick
    uint64_t earliestStart = ~0ULL;
    std::optional<double> passesPerHour;  // throughputSum per hour, when there is any
    Estimates estimates;
};

// Everything the report shows, as numbers; renderers turn it into text.
struct ReportData {
    uint64_t now = 0;         // the instant the estimates are made at
    uint64_t lastUpdate = 0;  // latest pass end over CPUs with data, or now
    std::vector<CpuRow> rows;
    std::vector<JobStats> jobs;
    OverallStats overall;
};

// What one refresh built, computed once and shown by every view: the window
// or terminal take fields, the HTML file takes html, the dashboard all three.
struct StatusReport {
    ReportData data;  // its rows point into the table: valid until the table changes
    StatusFields fields{};
    std::string html;  // the fragment, byte for byte, whether or not output is on
    // Why the HTML file could not be written at its latest write, "cannot
    // write PATH: REASON" (the path's bytes as the settings hold it); empty
    // while it is written or output is off.
    std::string htmlError;
    uint64_t htmlErrorChanges = 0;  // FileWriteStatus::Changes when htmlError was taken
};

// Which CPUs are stalled: by the table's monotonic clock at nowNs, with the
// settings' stall time. The default judges none stalled.
struct StallCheck {
    uint64_t nowNs = 0;
    uint32_t stallSeconds = 0;
};

// Groups the table into jobs and computes sums and estimates at now
// (file-time ticks). A stalled CPU stays in its job and in the counts but
// leaves the throughput, and so the estimates. Reads the table only.
void ComputeReport(const ClientTable &table, uint64_t now, ReportData &data, const StallCheck &stall = {});
// The HTML fragment: the "Last Update" line, the per-CPU table, one table
// per job and, with two or more jobs, the overall table.
void RenderReportHtml(const ReportData &data, const DisplayForm &form, std::string &html);
// The nine window texts: overall figures, or zeros and empty texts when no
// CPU has reported.
void RenderStatusFields(const ReportData &data, const DisplayForm &form, StatusFields &fields);

// Builds the whole report for the table at instant now (file-time ticks;
// injected so tests are exact) in the given form.
void BuildReport(const ClientTable &table, uint64_t now, const DisplayForm &form, StatusReport &report,
                 const StallCheck &stall = {});

// A whole file's next content, on its way to a writer thread.
struct FileContent {
    std::string path;
    std::string data;
};
// Where a refresh hands the HTML file: the front ends give it a writer on a
// thread of its own (FileWriter), so a hung folder never stops the core thread.
class FileSink {
public:
    virtual void Post(FileContent file) = 0;

protected:
    ~FileSink() = default;
};
// Replaces the file whole (a temporary beside it renamed over it, so a reader
// never sees a partial page); what a file sink's writer does. 1 on success.
int WriteWholeFile(const FileContent &file);

// What the HTML file's latest write came to: recorded by its writer thread,
// read by the refresh on the core thread under a short lock (never a wait on
// the disk).
class FileWriteStatus {
public:
    // Where the turns are said (one line each, without a line break).
    using Say = void (*)(const std::string &line);
    explicit FileWriteStatus(Say say = nullptr) : say_(say) {}

    // The outcome of a write to path. Says one line when writing starts to
    // fail (or fails for a new reason or path) and one when it works again;
    // repeats of the same outcome say nothing.
    void Record(const std::string &path, FileFault fault);
    // "cannot write PATH: REASON" of the latest write, or empty when it worked.
    std::string Error() const;
    // Grows whenever Error changes, so the core thread can tell a refresh is due.
    uint64_t Changes() const;

private:
    mutable std::mutex mutex_;
    std::string error_;
    uint64_t changes_ = 0;
    Say say_;
};
// Writes the file whole and records the outcome in status: the write of the
// HTML file's writer. 1 on success.
int WriteReportFile(const FileContent &file, FileWriteStatus &status);

struct ServerSettings;
// When output is on, hands report's HTML file to sink (written at once
// without one, its outcome then recorded in status when given).
void WriteHtmlFile(const ServerSettings &settings, const StatusReport &report, FileSink *sink,
                   FileWriteStatus *status);
// The refresh: builds the report at the current time in the settings' form
// (stalls judged by the table's clock and the settings' stall time) and,
// when output is on, hands the HTML file to sink (written at once
// without one), and takes the outcome of its latest write from status (when
// given) into report.htmlError. A file that cannot be written is skipped
// until the next refresh. 0 when memory ran out: report then keeps what the
// last refresh built.
int RefreshStatus(const ClientTable &table, const ServerSettings &settings, StatusReport &report,
                  FileSink *sink = nullptr, FileWriteStatus *status = nullptr);
