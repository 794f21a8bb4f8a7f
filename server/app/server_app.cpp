// The status server's program: start, refresh, checks and stop in one order for the window and the terminal alike.
#include "server_app.h"

#include "clock.h"
#include "webhook_events.h"

#include <algorithm>
#include <new>

ServerApp::ServerApp(ServerAppConfig config) : config_(std::move(config)), htmlStatus_(config_.say) {
    host_ = {this, WatchHost, RefreshHost, CpuStalledHost};
    htmlWriter_ = std::make_unique<FileWriter>([this](const FileContent &file) { WriteReportFile(file, htmlStatus_); });
}

ServerApp::~ServerApp() { Stop(); }

void ServerApp::WatchHost(void *context, NetSocket s) {
    const ServerAppConfig &config = static_cast<ServerApp *>(context)->config_;
    if (config.watchClient) config.watchClient(config.watchContext, s);
}

void ServerApp::RefreshHost(void *context) { static_cast<ServerApp *>(context)->Refresh(); }

void ServerApp::CpuStalledHost(void *context, NetSocket s) {
    try {
        static_cast<ServerApp *>(context)->newlyStalled_.push_back(s);
    } catch (const std::bad_alloc &) {
        // Out of memory: this stall goes unannounced.
    }
}

void ServerApp::Start() {
    if (started_) return;
    started_ = true;
    settings_ = LoadSettings();  // only now: a server that cannot listen leaves the HTML file alone
    notifier_ = NotifierStart(ServerNotifierConfig(config_.testPorts.webhookMs.value_or(0)));
    NotifierSetWebhook(notifier_, settings_.webhook);
    table_.peer = PeerTimeoutsFor(config_.testPorts.peerSeconds.value_or(0));
    table_.maxPerAddress = static_cast<uint32_t>(settings_.maxCpusPerAddress);
    table_.networks = settings_.statusNetworks;
    if (!settings_.statusNetworksIssue.empty() && config_.say) config_.say(settings_.statusNetworksIssue);
    RunHistoryConfig history{HistoryPath(config_.testPorts),
                             [n = notifier_](std::string_view entry) { NotifierPost(n, kEventJobFinished, entry); },
                             config_.say};
    runs_ = std::make_unique<RunHistory>(std::move(history));
    const int port = DashboardPortSetting(config_.dashboardPort, config_.testPorts);
    if (port >= 0) {
        DashboardConfig dashboard = config_.dashboard;
        dashboard.port = static_cast<uint16_t>(port);
        if (History *store = runs_->Store()) dashboard.history = [store] { return store->View(); };
        std::string error;
        web_ = DashboardStart(dashboard, error);
        if (!web_ && config_.say) config_.say("dashboard off: " + error);
    }
    Refresh();
}

void ServerApp::OnSocket(NetSocket s, SocketEvent event) {
    ServerSocketEvent(table_, host_, s, event);
    BatchEvents(pacing_);
}

AcceptOutcome ServerApp::Accept(NetSocket listener) {
    const AcceptOutcome outcome = ServerAccept(table_, host_, listener);
    BatchEvents(pacing_);
    return outcome;
}

int ServerApp::MakeRoom() {
    const int made = MakeRoomForClient(table_, host_);
    if (made) BatchEvents(pacing_);
    return made;
}

void ServerApp::EndBatch() {
    const uint64_t start = MonotonicNanos();
    FinishSocketEvents(table_, host_);
    BatchFinished(pacing_, start, MonotonicNanos());
}

void ServerApp::CheckTimes() {
    CheckClientTimes(table_, host_, static_cast<uint32_t>(settings_.stallSeconds));
    if (table_.refreshNeeded) BatchEvents(pacing_);
    // A write that failed is tried again with the report's page (its folder may be back).
    if (htmlStatus_.Changes() != report_.htmlErrorChanges) {
        Refresh();
    } else if (!report_.htmlError.empty()) {
        WriteHtmlFile(settings_, report_, htmlWriter_.get(), &htmlStatus_);
    }
}

void ServerApp::Refresh() {
    if (!RefreshStatus(table_, settings_, report_, htmlWriter_.get(), &htmlStatus_)) return;
    try {
        // Each job's identity, hex id and texts, once for every part that names the jobs.
        const std::vector<RunJobInfo> jobs = JobInfos(report_.data);
        if (runs_) runs_->Observe(report_.data, jobs, DepartedClients(table_));
        if (web_) DashboardPublish(*web_, table_, report_, jobs, settings_, runs_ ? &runs_->Stats() : nullptr);
        PostStalledCpus(notifier_, settings_, report_, jobs, newlyStalled_);
    } catch (const std::bad_alloc &) {
        // Out of memory: the next refresh feeds them again.
    }
    if (config_.show) config_.show(report_.fields);
}

void PostStalledCpus(Notifier *notifier, const ServerSettings &settings, const StatusReport &report,
                     const std::vector<RunJobInfo> &jobs, std::vector<NetSocket> &newlyStalled) {
    if (newlyStalled.empty()) return;
    if (notifier && settings.webhook[0]) {
        std::sort(newlyStalled.begin(), newlyStalled.end());
        const DisplayForm form = settings.Form();
        for (const CpuRow &row : report.data.rows) {
            if (!row.job || !row.stalled || row.job > jobs.size()) continue;
            if (!std::binary_search(newlyStalled.begin(), newlyStalled.end(), row.record->socket)) continue;
            const RunJobInfo &job = jobs[row.job - 1];
            NotifierPostBody(notifier, settings.webhook, kEventCpuStalled,
                             CpuStalledEventJson(MakeWebCpu(row, form), job.jobId, row.job, job.sceneName));
        }
    }
    newlyStalled.clear();
}

void ServerApp::RunDashboardPending() {
    if (!web_) return;
    DashboardRunPending(*web_, settings_, host_);
    NotifierSetWebhook(notifier_, settings_.webhook);
}

void ServerApp::SettingsChanged() {
    NotifierSetWebhook(notifier_, settings_.webhook);
    Refresh();
}

void ServerApp::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (runs_) runs_->Stop();
    ReleaseClients(table_);
    if (started_) Refresh();  // no clients: empty fields, "No render in progress" in the HTML file
    htmlWriter_->Close(-1);   // the last page is on disk before the program ends
    DashboardStop(web_);
    web_ = nullptr;
    runs_.reset();
    NotifierStop(notifier_, kNotifierStopDrainMs);
    notifier_ = nullptr;
}
