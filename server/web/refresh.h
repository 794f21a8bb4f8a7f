// The refresh both status programs run, one sequence for the window and the terminal alike.
#pragma once

#include "client_table.h"
#include "report.h"  // FileWriter, StatusReport
#include "settings.h"

#include <vector>

struct Dashboard;
struct Notifier;
class RunHistory;

// What a refresh feeds besides the report; each may be absent.
struct RefreshTargets {
    FileWriter *htmlWriter = nullptr;  // the HTML file (written at once without one)
    FileWriteStatus *htmlStatus = nullptr;  // what its writes came to
    RunHistory *runs = nullptr;        // the run history
    Dashboard *web = nullptr;          // the web dashboard's snapshot
    Notifier *notifier = nullptr;      // the webhook's cpu.stalled events
};

// The report and the HTML file, the run history (with the table's departed
// clients, whose last passes only this refresh can see), the dashboard's snapshot,
// then the stalled CPUs of newlyStalled announced (and it emptied). 0 when
// memory ran out: nothing else is fed and report keeps the last refresh's.
// The caller then shows report.fields in its view.
int RefreshAndPublish(const ClientTable &table, const ServerSettings &settings, StatusReport &report,
                      const RefreshTargets &targets, std::vector<NetSocket> &newlyStalled);

// The once-a-second look at the HTML file: a write that failed is tried
// again with the report's page (its folder may be back), never blocking.
// True when what the writes came to changed since report took it: a refresh
// is due to show it.
bool HtmlFileNeedsRefresh(const ServerSettings &settings, const StatusReport &report, const RefreshTargets &targets);
