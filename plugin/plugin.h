// The plug-in's module state and the routines shared by registration, monitoring, the sender and the server-name setting.
#pragma once

#include "host_api.h"
#include "net.h"
#include "net_watch.h"
#include "status_record.h"
#include "thread.h"

#include <atomic>
#include <cstdint>

inline constexpr uint32_t kQuietTimeoutMs = 15000;
inline constexpr int kConnectTimeoutMs = 20000;
inline constexpr size_t kSenderStack = 2048;
inline constexpr size_t kSendBufferSize = 768;
static_assert(kMessageLength <= kSendBufferSize);

// The port and quiet time-out of a run, asked for at each start of monitoring.
// Pellick links run_tuning.cpp (always STATUS_PORT and kQuietTimeoutMs); only the
// tests' variant of the plug-in links test_tuning.cpp, which reads its environment.
struct RunTuning {
    uint16_t port;
    uint32_t quietMs;
};
RunTuning ReadRunTuning();

// Fixed at activation (registration.cpp).
struct ActivationState {
    uint32_t messageLength;
    HostGlobalFunc *global;
    const HostSceneInfo *sceneInfo;
    bool renderNodeMode;
    int32_t cpuIndex;
    int32_t snapshotFirst, snapshotLast;
    const int32_t *firstFrameSource;
    const int32_t *lastFrameSource;
};
extern ActivationState g_activation;

// The module's one status record, shared by every instance the host creates.
extern StatusRecord g_status;

// Objects of one monitoring run (monitor.cpp); the sender thread uses them while it runs.
struct MonitorRun {
    // Guards sendBuffer, the signalling of dataReady, the counting fields of
    // g_status and the open flag's changes; it lives as long as the module, so
    // a host thread still evaluating at a stop never meets a released lock.
    ThreadLock statusLock;
    uint8_t sendBuffer[kSendBufferSize];
    ThreadEvent *stopEvent;  // manual reset
    ThreadEvent *dataReady;  // auto reset
    CloseWatch *closeEvent;
    ThreadHandle *thread;
    uint32_t quietMs;        // kQuietTimeoutMs unless a test shortens it
    uint16_t port;           // STATUS_PORT unless a test overrides it
    std::atomic<bool> open;  // between a start and its stop; changed under statusLock
};
extern MonitorRun g_run;

void StartMonitoring();
void StopMonitoring();
void PublishStatus();
void CountPass();
// The new-frame slot's work: the pass in progress is on frame and not yet counted.
void OpenPass(int32_t frame);

// Pass counting at a given instant, with the frame range and step the count
// reads: learning of passesPerFrame and totalPasses, then the timing fields.
void ApplyPassCount(StatusRecord &record, uint64_t now, int32_t firstFrame, int32_t lastFrame, int32_t frameStep);
// The smoothed time per pass after a pass of lastPassTime with n passes per frame.
int64_t SmoothPassTime(int64_t recentPassTime, int64_t lastPassTime, uint32_t passesPerFrame);
// The identity fields of the record from the host's scene record.
void FillSceneIdentity(StatusRecord &record, const HostSceneInfo *scene, int32_t firstFrame, int32_t lastFrame);
// A scene real printed "%#.10f", cut after 20 characters and NUL-terminated.
void FormatSceneReal(double value, char (&out)[kSceneRealText]);

// The sender thread's body and its connection step (sender.cpp).
uint32_t SenderThread(void *unused);
int ConnectToServer();

// The server name (server_name.cpp): 260 bytes, possibly without terminator.
// Copies it, NUL-terminated, into out under the name lock.
void CopyServerName(char (&out)[kTextSize + 1]);
int32_t ActivateInterface(int32_t version, HostGlobalFunc *global, void *local, void *serverData);
int32_t TransferServerName(void *instance, const HostState *state);
const char *DescribeFilter(void *instance);
