// What the host sees of the plug-in: the module descriptor, the two registered classes, handler activation and the eleven filter slots.
#include "plugin.h"

#if defined(_WIN32)
#define PELLICK_EXPORT __declspec(dllexport)
#else
#define PELLICK_EXPORT __attribute__((visibility("default")))
#endif

ActivationState g_activation;

namespace {

// Serialises starts and stops that the host may issue from several threads.
struct RunLock {
    ThreadLock lock;
    RunLock() { LockInit(&lock); }
    ~RunLock() { LockDelete(&lock); }
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;
};
RunLock runLock;
uint32_t liveInstances;  // render-node mode: instances created and not yet destroyed

void *FilterCreate(void *, void *, const char **) {
    if (g_activation.renderNodeMode) {
        LockEnter(&runLock.lock);
        if (liveInstances++ == 0) StartMonitoring();
        LockLeave(&runLock.lock);
    }
    return &g_status;
}

void FilterDestroy(void *) {
    if (!g_activation.renderNodeMode) return;
    LockEnter(&runLock.lock);
    if (liveInstances > 0 && --liveInstances == 0) StopMonitoring();
    LockLeave(&runLock.lock);
}

int32_t FilterCopy(void *, void *) { return 0; }

int32_t FilterRenderStart(void *, int32_t) {
    if (!g_activation.renderNodeMode) {
        LockEnter(&runLock.lock);
        StartMonitoring();
        LockLeave(&runLock.lock);
    }
    return 0;
}

void FilterRenderEnd(void *) {
    if (g_activation.renderNodeMode) return;
    LockEnter(&runLock.lock);
    StopMonitoring();
    LockLeave(&runLock.lock);
}

int32_t FilterNewFrame(void *, int32_t frame, double) {
    OpenPass(frame);
    return 0;
}

void FilterEvaluate(void *, const void *) { CountPass(); }

int32_t FilterFlags(void *) { return 0; }

int32_t ActivateHandler(int32_t version, HostGlobalFunc *global, void *local, void *) {
    if (version != HOST_ACTIVATE_VERSION) return 1;
    ActivationState &a = g_activation;
    a.messageLength = MessageLength(kFieldTable);
    a.global = global;
    a.sceneInfo = global ? static_cast<const HostSceneInfo *>(global("VK Scene Info 2", 0)) : nullptr;
    if (!a.sceneInfo || !local) return 1;

    auto *slots = static_cast<HostPixelFilter *>(local);
    slots->create = FilterCreate;
    slots->destroy = FilterDestroy;
    slots->copy = FilterCopy;
    slots->load = TransferServerName;
    slots->save = TransferServerName;
    slots->renderStart = FilterRenderStart;
    slots->renderEnd = FilterRenderEnd;
    slots->newFrame = FilterNewFrame;
    slots->evaluate = FilterEvaluate;
    slots->flags = FilterFlags;
    slots->describe = DescribeFilter;

    const auto systemId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(global("System ID", 0)));
    a.renderNodeMode = (systemId & HOST_SYSTEM_TYPE_MASK) == HOST_SYSTEM_RENDER_NODE;
    if (a.renderNodeMode) {
        a.cpuIndex = static_cast<int32_t>((systemId & HOST_SYSTEM_NODE_MASK) - 1u);
        a.snapshotFirst = a.sceneInfo->firstFrame;
        a.snapshotLast = a.sceneInfo->lastFrame;
        a.firstFrameSource = &a.snapshotFirst;
        a.lastFrameSource = &a.snapshotLast;
    } else {
        a.cpuIndex = 0;
        a.firstFrameSource = &a.sceneInfo->firstFrame;
        a.lastFrameSource = &a.sceneInfo->lastFrame;
    }
    return 0;
}

uintptr_t ModuleStartup() { return 4; }

// A host that unloads the module with a run still open would leave the sender
// thread running unmapped code: end the run first.
void ModuleShutdown() {
    LockEnter(&runLock.lock);
    StopMonitoring();
    liveInstances = 0;
    LockLeave(&runLock.lock);
}

HostServerRecord servers[] = {
    {"PixelFilterHandler", "Pellick-Monitor", ActivateHandler},
    {"PixelFilterInterface", "Pellick-Monitor", ActivateInterface},
    {nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" {
PELLICK_EXPORT HostModuleDescriptor _mod_descrip = {
    HOST_SYS_SYNC, HOST_SYS_VERSION, HOST_MACHINE, ModuleStartup, ModuleShutdown, servers,
};
}
