// A scriptable stand-in for the host application: global lookup, scene record, panel services, scene state and the plug-in's slots.
#pragma once

#include "host_api.h"
#include "status_record.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// What the host answers and what it saw the plug-in do. One per process:
// the host's global lookup takes no context.
struct FakeHost {
    uint32_t systemId = 0x10000001;
    bool hasScene = true;
    bool hasPanels = true;
    std::string sceneName = "shot_010";
    std::string sceneFile;
    HostSceneInfo scene{};

    // Panel script and record.
    bool panelCreateFails = false;
    bool controlFails = false;
    bool panelConfirms = false;
    std::string typedName;  // what the user types when confirming
    int panelsCreated = 0, panelsDestroyed = 0, panelsOpened = 0;
    std::string panelTitle, controlKind, controlLabel;
    int32_t controlDesc[2] = {0, 0};
    int32_t openFlags = 0;
    std::vector<uint32_t> attributes;
    std::string shownText;  // text the plug-in put into the control
    int32_t shownSize = 0;
    int32_t readSize = 0;

    void Reset();  // a render-ready scene: "shot_010", frames 1 to 100, step 1
};
extern FakeHost g_host;

void *FakeGlobal(const char *name, int32_t useMode);

// A 260-byte block as the host stores it in a scene file.
struct SceneBlock {
    std::array<uint8_t, kTextSize> bytes{};
    int transfers = 0;
};

// The plug-in as the host sees it: its descriptor and the handler table it filled.
struct PluginSlots {
    HostModuleDescriptor *descriptor = nullptr;
    HostPixelFilter filter{};

    const HostServerRecord *Server(const char *className) const;
    int32_t ActivateHandler(int32_t version = 3);
    int32_t ActivateInterface(int32_t version = 3);

    void *Create() { return filter.create(nullptr, nullptr, nullptr); }
    void Destroy(void *instance = nullptr) { filter.destroy(instance); }
    void RenderStart() { filter.renderStart(nullptr, 0); }
    void RenderEnd() { filter.renderEnd(nullptr); }
    void NewFrame(int32_t frame) { filter.newFrame(nullptr, frame, 0.0); }
    void Evaluate() { filter.evaluate(nullptr, nullptr); }
    // One pass: the new-frame call and then many evaluate calls.
    void Pass(int32_t frame, int evaluates = 8);
    std::string Describe() { return filter.describe(nullptr); }

    // State transfer in a given mode: save stores the plug-in's block, load hands it one.
    void Save(SceneBlock &block, int32_t mode = 1);
    void Load(SceneBlock &block, int32_t mode = 1);
    void SetServerName(const std::string &name);
    std::string ServerName();  // up to the first NUL of a saved block
};

void SetTestEnv(const char *name, const char *value);
