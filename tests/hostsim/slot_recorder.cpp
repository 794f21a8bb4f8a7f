// A stand-in plug-in for hostsim's tests: it notes, in order, every module and filter call the host makes.
#include "host_api.h"

#include <string>

#if defined(_WIN32)
#define RECORDER_EXPORT __declspec(dllexport)
#else
#define RECORDER_EXPORT __attribute__((visibility("default")))
#endif

namespace {

std::string calls;
int instance;

void Note(const std::string &what) {
    if (!calls.empty()) calls += ' ';
    calls += what;
}

void *Create(void *, void *, const char **) {
    Note("create");
    return &instance;
}
void Destroy(void *) { Note("destroy"); }
int32_t Copy(void *, void *) { return 0; }
int32_t Load(void *, const HostState *) {
    Note("load");
    return 0;
}
int32_t Save(void *, const HostState *) {
    Note("save");
    return 0;
}
int32_t RenderStart(void *, int32_t) {
    Note("renderStart");
    return 0;
}
void RenderEnd(void *) { Note("renderEnd"); }
int32_t NewFrame(void *, int32_t frame, double) {
    Note("newFrame:" + std::to_string(frame));
    return 0;
}
void Evaluate(void *, const void *) { Note("evaluate"); }
int32_t Flags(void *) { return 0; }
const char *Describe(void *) { return "slot recorder"; }

int32_t Activate(int32_t, HostGlobalFunc *, void *local, void *) {
    Note("activate");
    auto *slots = static_cast<HostPixelFilter *>(local);
    *slots = HostPixelFilter{Create, Destroy, Copy, Load, Save, RenderStart, RenderEnd, NewFrame, Evaluate, Flags,
                             Describe};
    return 0;
}

uintptr_t Startup() {
    calls.clear();
    Note("startup");
    return 4;
}
void Shutdown() { Note("shutdown"); }

HostServerRecord servers[] = {{"PixelFilterHandler", "Slot-Recorder", Activate}, {nullptr, nullptr, nullptr}};

}  // namespace

extern "C" {
RECORDER_EXPORT HostModuleDescriptor _mod_descrip = {HOST_SYS_SYNC, HOST_SYS_VERSION, HOST_MACHINE,
                                                     Startup,       Shutdown,         servers};
// The calls since the last start-up, separated by spaces.
RECORDER_EXPORT const char *RecordedCalls() { return calls.c_str(); }
}
