// Render monitoring: starting and stopping a run, counting and timing passes, and publishing the record to the sender.
#include "plugin.h"

#include "clock.h"
#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

StatusRecord g_status;
MonitorRun g_run;

namespace {

int32_t ReadFrame(const int32_t *source) { return source ? *source : 0; }

// A positive decimal from a test-only variable, or fallback when unset or unusable.
uint32_t TestOverride(const char *name, uint32_t fallback, uint32_t maximum) {
    const char *text = std::getenv(name);
    if (!text || !*text) return fallback;
    char *end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v == 0 || v > maximum) return fallback;
    return static_cast<uint32_t>(v);
}

void CopyText(char (&field)[kTextSize], const char *text) {
    std::memset(field, 0, kTextSize);
    if (text) std::memcpy(field, text, strnlen(text, kTextSize));
}

void EncodeIntoSendBuffer() {
    uint32_t length = g_activation.messageLength ? g_activation.messageLength : kMessageLength;
    if (length > kSendBufferSize) length = kSendBufferSize;
    EncodeRecord(g_status, kFieldTable, std::span<uint8_t>(g_run.sendBuffer, length));
}

std::atomic_ref<uint32_t> FrameCounted() { return std::atomic_ref<uint32_t>(g_status.frameCounted); }

}  // namespace

void FormatSceneReal(double value, char (&out)[kSceneRealText]) {
    char text[512];
    std::snprintf(text, sizeof text, "%#.10f", value);
    std::memset(out, 0, sizeof out);
    std::memcpy(out, text, strnlen(text, sizeof out - 1));
}

void FillSceneIdentity(StatusRecord &r, const HostSceneInfo *scene, int32_t firstFrame, int32_t lastFrame) {
    r.sceneFirstFrame = firstFrame;
    r.sceneLastFrame = lastFrame;
    if (!scene) return;
    CopyText(r.sceneName, scene->name);
    CopyText(r.sceneFile, scene->filename);
    r.sceneFrameStep = scene->frameStep;
    r.scene08 = scene->v08;
    r.scene12 = scene->v12;
    r.scene16 = scene->v16;
    r.scene20 = scene->v20;
    r.scene48 = scene->v48;
    r.scene52 = scene->v52;
    r.scene64 = scene->v64;
    r.scene68 = scene->v68;
    r.scene72 = scene->v72;
    r.scene76 = scene->v76;
    r.scene80 = scene->v80;
    r.scene84 = scene->v84;
    r.scene88 = scene->v88;
    FormatSceneReal(scene->v40, r.sceneText40);
    FormatSceneReal(scene->v56, r.sceneText56);
    uint64_t lastWrite = 0, size = 0;
    if (FileAttributes(scene->filename, &lastWrite, &size)) {
        r.sceneFileTime = lastWrite;
        r.sceneFileSize = size;
    }
}

int64_t SmoothPassTime(int64_t recent, int64_t last, uint32_t passesPerFrame) {
    const uint32_t weight = 5u * passesPerFrame;
    if (recent == 0 || weight == 0) return last;
    const uint64_t sum = static_cast<uint64_t>(weight - 1u) * static_cast<uint64_t>(recent) + static_cast<uint64_t>(last);
    return static_cast<int64_t>(sum) / static_cast<int64_t>(weight);
}

void ApplyPassCount(StatusRecord &r, uint64_t now, int32_t firstFrame, int32_t lastFrame, int32_t frameStep) {
    if (r.passesPerFrameFixed == 0) {
        if (r.firstRenderedFrame == -1) r.firstRenderedFrame = r.currentFrame;
        if (r.currentFrame == r.firstRenderedFrame) {
            r.passesPerFrame += 1;
            // 32-bit wrap-around as the host's frame numbers are; a step of 0 counts as 1.
            const uint32_t frames = static_cast<uint32_t>(lastFrame) - static_cast<uint32_t>(firstFrame) + 1u;
            const uint32_t step = frameStep == 0 ? 1u : static_cast<uint32_t>(frameStep);
            r.totalPasses = (frames * r.passesPerFrame) / step;
        } else {
            r.passesPerFrameFixed = 1;
        }
    }
    r.passesDone += 1;
    r.elapsedTime = static_cast<int64_t>(now - r.startTime);
    r.lastPassTime = static_cast<int64_t>(now - r.passStartTime);
    r.averagePassTime = r.passesDone ? r.elapsedTime / static_cast<int64_t>(r.passesDone) : r.elapsedTime;
    r.averageFrameTime =
        static_cast<int64_t>(static_cast<uint64_t>(r.passesPerFrame) * static_cast<uint64_t>(r.averagePassTime));
    r.recentPassTime = SmoothPassTime(r.recentPassTime, r.lastPassTime, r.passesPerFrame);
}

void StartMonitoring() {
    if (g_run.open.load()) return;  // one run per module: a second start leaves the open run alone
    ActivationState &a = g_activation;
    if (a.global) {
        if (auto *scene = static_cast<const HostSceneInfo *>(a.global("VK Scene Info 2", 0))) a.sceneInfo = scene;
    }

    std::memset(&g_status, 0, sizeof g_status);
    g_run.stopEvent = nullptr;
    g_run.dataReady = nullptr;
    g_run.closeEvent = nullptr;
    g_run.thread = nullptr;
    g_run.port = static_cast<uint16_t>(TestOverride(kTestPortVariable, STATUS_PORT, 65535));
    g_run.quietMs = TestOverride(kTestQuietVariable, kQuietTimeoutMs, kQuietTimeoutMs);
    LockInit(&g_run.statusLock);

    StatusRecord &r = g_status;
    r.firstRenderedFrame = -1;
    r.socket = kNoSocket;
    r.passesPerFrameFixed = 0;
    r.cpuIndex = a.cpuIndex;
    r.startTime = NowFileTime();
    r.passStartTime = r.startTime;
    std::memcpy(r.signature, RecordSignature, sizeof r.signature);
    FillSceneIdentity(r, a.sceneInfo, ReadFrame(a.firstFrameSource), ReadFrame(a.lastFrameSource));
    g_run.open.store(true);

    if (!NetStartup()) return;
    r.netStarted = 1;
    g_run.stopEvent = EventCreate(true);
    if (!g_run.stopEvent) return;
    g_run.dataReady = EventCreate(false);
    if (!g_run.dataReady) return;
    g_run.closeEvent = CloseWatchCreate();
    if (!g_run.closeEvent) return;
    g_run.thread = ThreadStart(SenderThread, nullptr, kSenderStack);
    if (g_run.thread) PublishStatus();
}

void StopMonitoring() {
    if (!g_run.open.load()) return;  // nothing was made
    if (g_run.stopEvent) {
        if (g_run.thread) {
            EventSet(g_run.stopEvent);
            ThreadJoin(g_run.thread);
            g_run.thread = nullptr;
        }
        EventClose(g_run.stopEvent);
        g_run.stopEvent = nullptr;
    }
    if (g_run.dataReady) EventClose(g_run.dataReady);
    g_run.dataReady = nullptr;
    if (g_run.closeEvent) CloseWatchDestroy(g_run.closeEvent);
    g_run.closeEvent = nullptr;
    if (g_status.socket != kNoSocket) NetClose(g_status.socket);
    g_status.socket = kNoSocket;
    if (g_status.netStarted == 1) NetCleanup();
    g_status.netStarted = 0;
    g_run.open.store(false);
    LockDelete(&g_run.statusLock);
}

void PublishStatus() {
    if (!g_run.open.load(std::memory_order_relaxed)) return;
    LockEnter(&g_run.statusLock);
    EncodeIntoSendBuffer();
    EventSet(g_run.dataReady);
    LockLeave(&g_run.statusLock);
}

void CountPass() {
    // Every evaluate call but the first of a pass ends here.
    if (FrameCounted().load(std::memory_order_relaxed)) return;
    if (!g_run.open.load(std::memory_order_acquire)) return;
    // The host may evaluate pixels on several threads: one of them counts the pass.
    LockEnter(&g_run.statusLock);
    if (FrameCounted().load(std::memory_order_relaxed)) {
        LockLeave(&g_run.statusLock);
        return;
    }
    const ActivationState &a = g_activation;
    const uint64_t now = NowFileTime();
    ApplyPassCount(g_status, now, ReadFrame(a.firstFrameSource), ReadFrame(a.lastFrameSource),
                   a.sceneInfo ? a.sceneInfo->frameStep : 1);
    EncodeIntoSendBuffer();
    EventSet(g_run.dataReady);
    g_status.passStartTime = now;
    FrameCounted().store(1, std::memory_order_release);
    LockLeave(&g_run.statusLock);
}

// The new-frame slot's work: opens a pass on the given frame.
void OpenPass(int32_t frame) {
    g_status.currentFrame = frame;
    FrameCounted().store(0, std::memory_order_release);
}
