// The refresh both status programs run.
#include "refresh.h"

#include "dashboard.h"
#include "run_history.h"
#include "webhook_events.h"

int RefreshAndPublish(const ClientTable &table, const ServerSettings &settings, StatusReport &report,
                      const RefreshTargets &targets, std::vector<NetSocket> &newlyStalled) {
    if (!RefreshStatus(table, settings, report, targets.htmlWriter, targets.htmlStatus)) return 0;
    if (targets.runs) targets.runs->Observe(report.data, DepartedClients(table));
    if (targets.web) DashboardPublish(*targets.web, table, report, settings, targets.runs ? &targets.runs->Stats() : nullptr);
    PostStalledCpus(targets.notifier, settings, report, newlyStalled);
    return 1;
}

bool HtmlFileNeedsRefresh(const ServerSettings &settings, const StatusReport &report, const RefreshTargets &targets) {
    if (!targets.htmlStatus) return false;
    if (targets.htmlStatus->Changes() != report.htmlErrorChanges) return true;
    if (!report.htmlError.empty()) WriteHtmlFile(settings, report, targets.htmlWriter, targets.htmlStatus);
    return false;
}
