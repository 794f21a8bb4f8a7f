// Render monitoring: starting and stopping a run, counting and timing passes, and publishing the record to the sender.
#include "plugin.h"

#include "clock.h"
#include "files.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

StatusRecord g_status;
MonitorRun g_run;

namespace {

// g_run.statusLock, made when the module loads and released when it unloads.
struct StatusLockLifetime {
    StatusLockLifetime() { LockInit(&g_run.statusLock); }
    ~StatusLockLifetime() { LockDelete(&g_run.statusLock); }
    StatusLockLifetime(const StatusLockLifetime &) = delete;
    StatusLockLifetime &operator=(const StatusLockLifetime &) = delete;
} statusLockLifetime;

int32_t ReadFrame(const int32_t *source) { return source ? *source : 0; }

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

// Copies a record into g_status around frameCounted, which host threads read
// at any moment without the lock, and sets that field atomically.
void ReplaceStatus(const StatusRecord &fresh) {
    constexpr size_t at = offsetof(StatusRecord, frameCounted);
    constexpr size_t after = at + sizeof fresh.frameCounted;
    auto *to = reinterpret_cast<unsigned char *>(&g_status);
    const auto *from = reinterpret_cast<const unsigned char *>(&fresh);
    std::memcpy(to, from, at);
    std::memcpy(to + after, from + after, sizeof fresh - after);
    FrameCounted().store(fresh.frameCounted, std::memory_order_relaxed);
}

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
    const RunTuning tuning = ReadRunTuning();

    // The new record is built aside (it reads the scene file) and the run's
    // objects are made before the run opens, so a count on another host
    // thread sees either no run or the whole of it.
    StatusRecord fresh;
    std::memset(&fresh, 0, sizeof fresh);
    fresh.firstRenderedFrame = -1;
    fresh.socket = kNoNetSocket;
    fresh.passesPerFrameFixed = 0;
    fresh.cpuIndex = a.cpuIndex;
    fresh.startTime = NowFileTime();
    fresh.passStartTime = fresh.startTime;
    std::memcpy(fresh.signature, RecordSignature, sizeof fresh.signature);
    FillSceneIdentity(fresh, a.sceneInfo, ReadFrame(a.firstFrameSource), ReadFrame(a.lastFrameSource));
    fresh.netStarted = NetStartup() ? 1 : 0;
    ThreadEvent *const stopEvent = fresh.netStarted ? EventCreate(true) : nullptr;
    ThreadEvent *const dataReady = stopEvent ? EventCreate(false) : nullptr;
    CloseWatch *const closeEvent = dataReady ? CloseWatchCreate() : nullptr;

    LockEnter(&g_run.statusLock);
    ReplaceStatus(fresh);
    g_run.stopEvent = stopEvent;
    g_run.dataReady = dataReady;
    g_run.closeEvent = closeEvent;
    g_run.thread = nullptr;
    g_run.port = tuning.port;
    g_run.quietMs = tuning.quietMs;
    g_run.open.store(true);
    LockLeave(&g_run.statusLock);

    if (!closeEvent) return;
    g_run.thread = ThreadStart(SenderThread, nullptr, kSenderStack);
    if (g_run.thread) PublishStatus();
}

void StopMonitoring() {
    // Closed before anything is released: a count on another thread has either
    // finished or finds the run closed when it takes the lock.
    LockEnter(&g_run.statusLock);
    const bool wasOpen = g_run.open.exchange(false);
    LockLeave(&g_run.statusLock);
    if (!wasOpen) return;  // nothing was made
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
    if (g_status.socket != kNoNetSocket) NetClose(g_status.socket);
    g_status.socket = kNoNetSocket;
    if (g_status.netStarted == 1) NetCleanup();
    g_status.netStarted = 0;
}

void PublishStatus() {
    LockEnter(&g_run.statusLock);
    if (g_run.open.load(std::memory_order_relaxed)) {
        EncodeIntoSendBuffer();
        EventSet(g_run.dataReady);
    }
    LockLeave(&g_run.statusLock);
}

void CountPass() {
    // Every evaluate call but the first of a pass ends here.
    if (FrameCounted().load(std::memory_order_relaxed)) return;
    if (!g_run.open.load(std::memory_order_relaxed)) return;
    // The host may evaluate pixels on several threads: one of them counts the
    // pass, and only while the run is still open (checked again under the lock).
    LockEnter(&g_run.statusLock);
    if (!g_run.open.load(std::memory_order_relaxed) || FrameCounted().load(std::memory_order_relaxed)) {
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
    LockEnter(&g_run.statusLock);
    g_status.currentFrame = frame;
    FrameCounted().store(0, std::memory_order_release);
    LockLeave(&g_run.statusLock);
}
