// The scriptable test host: answers the plug-in's lookups and panel calls, and records what it was asked.
#include "fake_host.h"

#include <cstdlib>
#include <cstring>

FakeHost g_host;

void FakeHost::Reset() {
    *this = FakeHost{};
    scene.name = sceneName.c_str();
    scene.filename = nullptr;
    scene.firstFrame = 1;
    scene.lastFrame = 100;
    scene.frameStep = 1;
}

namespace {

struct FakeControl {
    HostControl table;
    std::string text;
};
FakeControl control;
int panelToken;

void ControlGet(HostControl *, uint32_t attr, HostValue *v) {
    g_host.attributes.push_back(attr);
    g_host.readSize = v->size;
    const std::string &typed = g_host.typedName;
    size_t n = typed.size() + 1 < static_cast<size_t>(v->size) ? typed.size() + 1 : static_cast<size_t>(v->size);
    std::memcpy(v->text, typed.c_str(), n);
}

void ControlSet(HostControl *, uint32_t attr, HostValue *v) {
    g_host.attributes.push_back(attr);
    g_host.shownSize = v->size;
    g_host.shownText.assign(v->text, strnlen(v->text, static_cast<size_t>(v->size)));
}

void *PanelCreate(const char *title, void *) {
    if (g_host.panelCreateFails) return nullptr;
    ++g_host.panelsCreated;
    g_host.panelTitle = title;
    return &panelToken;
}

void PanelDestroy(void *) { ++g_host.panelsDestroyed; }

int32_t PanelOpen(void *, int32_t flags) {
    ++g_host.panelsOpened;
    g_host.openFlags = flags;
    return g_host.panelConfirms ? 1 : 0;
}

HostControl *PanelAddControl(void *, const char *kind, const int32_t *desc, const char *label) {
    g_host.controlKind = kind;
    g_host.controlLabel = label;
    g_host.controlDesc[0] = desc[0];
    g_host.controlDesc[1] = desc[1];
    if (g_host.controlFails) return nullptr;
    control.table = HostControl{nullptr, ControlGet, ControlSet};
    return &control.table;
}

HostPanelServices panelServices = {PanelCreate, PanelDestroy, PanelOpen, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   PanelAddControl};

int32_t BlockTransfer(void *data, void *buffer, int32_t bytes, bool load) {
    auto *block = static_cast<SceneBlock *>(data);
    ++block->transfers;
    if (bytes != static_cast<int32_t>(kTextSize)) return 0;
    if (load)
        std::memcpy(buffer, block->bytes.data(), kTextSize);
    else
        std::memcpy(block->bytes.data(), buffer, kTextSize);
    return bytes;
}
int32_t LoadTransfer(void *data, void *buffer, int32_t bytes) { return BlockTransfer(data, buffer, bytes, true); }
int32_t SaveTransfer(void *data, void *buffer, int32_t bytes) { return BlockTransfer(data, buffer, bytes, false); }

}  // namespace

void *FakeGlobal(const char *name, int32_t) {
    if (std::strcmp(name, "System ID") == 0) return reinterpret_cast<void *>(static_cast<uintptr_t>(g_host.systemId));
    if (std::strcmp(name, "VK Scene Info 2") == 0) return g_host.hasScene ? &g_host.scene : nullptr;
    if (std::strcmp(name, "VKPanelServices") == 0) return g_host.hasPanels ? &panelServices : nullptr;
    return nullptr;
}

const HostServerRecord *PluginSlots::Server(const char *className) const {
    for (const HostServerRecord *r = descriptor->servers; r->className; ++r)
        if (std::strcmp(r->className, className) == 0) return r;
    return nullptr;
}

int32_t PluginSlots::ActivateHandler(int32_t version) {
    return Server("PixelFilterHandler")->activate(version, FakeGlobal, &filter, nullptr);
}

int32_t PluginSlots::ActivateInterface(int32_t version) {
    return Server("PixelFilterInterface")->activate(version, FakeGlobal, nullptr, nullptr);
}

void PluginSlots::Pass(int32_t frame, int evaluates) {
    NewFrame(frame);
    for (int i = 0; i < evaluates; ++i) Evaluate();
}

void PluginSlots::Save(SceneBlock &block, int32_t mode) {
    HostState state{mode, &block, SaveTransfer};
    filter.save(nullptr, &state);
}

void PluginSlots::Load(SceneBlock &block, int32_t mode) {
    HostState state{mode, &block, LoadTransfer};
    filter.load(nullptr, &state);
}

void PluginSlots::SetServerName(const std::string &name) {
    SceneBlock block;
    std::memcpy(block.bytes.data(), name.data(), name.size() < kTextSize ? name.size() : kTextSize);
    Load(block);
}

std::string PluginSlots::ServerName() {
    SceneBlock block;
    Save(block);
    return std::string(reinterpret_cast<const char *>(block.bytes.data()), strnlen(reinterpret_cast<const char *>(block.bytes.data()), kTextSize));
}

void SetTestEnv(const char *name, const char *value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}
