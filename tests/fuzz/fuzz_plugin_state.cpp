// Fuzz target for the plug-in's scene state: any bytes through the load slot of the plug-in's host interface, then save, the description line and the panel.
#include "fuzz_support.h"
#include "host_api.h"
#include "status_record.h"

#include <array>
#include <string>
#include <string_view>

extern "C" HostModuleDescriptor _mod_descrip;

namespace {

using Block = std::array<uint8_t, kTextSize>;

// The host side: one scene, interactive mode, a panel whose text the input decides.
HostSceneInfo scene{};
HostPixelFilter filter{};

struct Transfer {
    const uint8_t *bytes = nullptr;  // load: what the scene file holds
    size_t available = 0;            // load: fewer than 260 bytes is a truncated scene file
    Block saved{};                   // save: what the plug-in stored
    int calls = 0;
    int32_t asked = 0;
};
Transfer transfer;

int32_t LoadTransfer(void *data, void *buffer, int32_t bytes) {
    auto *t = static_cast<Transfer *>(data);
    ++t->calls;
    t->asked = bytes;
    const size_t n = std::min(t->available, static_cast<size_t>(bytes));
    std::memcpy(buffer, t->bytes, n);
    return static_cast<int32_t>(n);
}

int32_t SaveTransfer(void *data, void *buffer, int32_t bytes) {
    auto *t = static_cast<Transfer *>(data);
    ++t->calls;
    t->asked = bytes;
    FUZZ_CHECK(bytes == static_cast<int32_t>(kTextSize), "the plug-in stores %d bytes, not 260", bytes);
    std::memcpy(t->saved.data(), buffer, kTextSize);
    return bytes;
}

Block Save() {
    transfer = Transfer{};
    const HostState state{1, &transfer, SaveTransfer};
    FUZZ_CHECK(filter.save(nullptr, &state) == 0, "save did not answer 0");
    FUZZ_CHECK(transfer.calls == 1, "save made %d transfers", transfer.calls);
    return transfer.saved;
}

void Load(int32_t mode, const uint8_t *bytes, size_t n) {
    transfer = Transfer{};
    transfer.bytes = bytes;
    transfer.available = n;
    const HostState state{mode, &transfer, LoadTransfer};
    FUZZ_CHECK(filter.load(nullptr, &state) == 0, "load did not answer 0");
    FUZZ_CHECK(transfer.calls == (mode == 1 ? 1 : 0), "mode %d made %d transfers", mode, transfer.calls);
    if (mode == 1) FUZZ_CHECK(transfer.asked == static_cast<int32_t>(kTextSize), "load asked for %d bytes", transfer.asked);
}

// The panel: shows the name, then the user types bytes of the input (maybe unterminated) and confirms or cancels.
struct Panel {
    std::span<const uint8_t> typed;
    bool confirm = false;
    int shown = 0, read = 0;
    std::string shownText;
};
Panel panel;
int panelToken;

void ControlGet(HostControl *, uint32_t attr, HostValue *v) {
    FUZZ_CHECK(attr == 4 && v->type == 1 && v->size == static_cast<int32_t>(kTextSize), "get: attr %u, type %d, size %d",
               attr, v->type, v->size);
    ++panel.read;
    std::memcpy(v->text, panel.typed.data(), std::min(panel.typed.size(), static_cast<size_t>(v->size)));
}

void ControlSet(HostControl *, uint32_t attr, HostValue *v) {
    FUZZ_CHECK(attr == 4 && v->type == 1, "set: attr %u, type %d", attr, v->type);
    FUZZ_CHECK(v->size >= 1 && v->size <= static_cast<int32_t>(kTextSize) + 1, "set: size %d", v->size);
    // The control reads exactly size bytes: a terminated text of size - 1 characters.
    const size_t n = static_cast<size_t>(v->size);
    FUZZ_CHECK(v->text[n - 1] == '\0' && strnlen(v->text, n) == n - 1, "set: text of size %d not terminated at its end",
               v->size);
    ++panel.shown;
    panel.shownText.assign(v->text, n - 1);
}

void ControlDraw(HostControl *, int32_t) {}

HostControl control{ControlDraw, ControlGet, ControlSet};

void *PanelCreate(const char *, void *) { return &panelToken; }
void PanelDestroy(void *) {}
int32_t PanelOpen(void *, int32_t) { return panel.confirm ? 1 : 0; }
HostControl *PanelAddControl(void *, const char *, const int32_t *, const char *) { return &control; }

HostPanelServices panels{PanelCreate, PanelDestroy, PanelOpen, nullptr, nullptr, nullptr, nullptr, nullptr,
                         PanelAddControl};

void *Global(const char *name, int32_t) {
    const std::string_view n(name);
    if (n == "VK Scene Info 2") return &scene;
    if (n == "System ID") return reinterpret_cast<void *>(uintptr_t{0x10000001});
    if (n == "VKPanelServices") return &panels;
    return nullptr;
}

void Setup() {
    scene.name = "fuzz";
    scene.firstFrame = 1;
    scene.lastFrame = 10;
    scene.frameStep = 1;
    FUZZ_CHECK(_mod_descrip.startup() != 0, "startup failed");
    FUZZ_CHECK(_mod_descrip.servers[0].activate(3, Global, &filter, nullptr) == 0, "handler activation failed");
    FUZZ_CHECK(filter.load && filter.save && filter.describe, "slots not filled");
}

// The description line: the name up to its first NUL, maybe cut, inside the fixed frame, within 260 bytes.
void CheckDescription(const Block &name) {
    const char *line = filter.describe(nullptr);
    const size_t length = strnlen(line, kTextSize);
    FUZZ_CHECK(length < kTextSize, "description line unterminated");
    const std::string_view text(line, length), head = "Pellick Monitor (";
    FUZZ_CHECK(text.substr(0, head.size()) == head && text.back() == ')', "description line \"%s\"", line);
    const std::string_view shown = text.substr(head.size(), text.size() - head.size() - 1);
    const std::string_view full(reinterpret_cast<const char *>(name.data()), strnlen(reinterpret_cast<const char *>(name.data()), kTextSize));
    FUZZ_CHECK(full.substr(0, shown.size()) == shown, "the description shows another name");
    FUZZ_CHECK(shown.size() == full.size() || length == kTextSize - 1,
               "name of %zu bytes shown as %zu", full.size(), shown.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (Setup(), true);
    (void)ready;
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const int32_t mode = flags & 1 ? 1 : static_cast<int32_t>(in.U32());
    const size_t available = flags & 2 ? in.Byte() : kTextSize;

    // Start from a known name: the previous input's state must not matter.
    Block start{};
    const std::span<const uint8_t> seed = in.Take(flags & 4 ? 8 : 0);
    std::memcpy(start.data(), seed.data(), seed.size());
    Load(1, start.data(), start.size());
    FUZZ_CHECK(Save() == start, "a loaded name does not save back byte for byte");

    const std::span<const uint8_t> block = in.Take(std::min(available, kTextSize));
    Load(mode, block.data(), block.size());
    Block expected = start;
    if (mode == 1) std::memcpy(expected.data(), block.data(), block.size());
    const Block saved = Save();
    FUZZ_CHECK(saved == expected, "after a load in mode %d of %zu bytes the saved block differs", mode, block.size());
    CheckDescription(saved);

    // The panel shows the loaded name and, when confirmed, takes what was typed.
    panel = Panel{};
    panel.confirm = (flags & 8) != 0;
    panel.typed = in.Take(in.U16() % (kTextSize + 8));
    FUZZ_CHECK(_mod_descrip.servers[1].activate(3, Global, nullptr, nullptr) == 0, "panel activation failed");
    FUZZ_CHECK(panel.shown == 1, "the panel was shown %d times", panel.shown);
    const std::string_view loaded(reinterpret_cast<const char *>(saved.data()),
                                  strnlen(reinterpret_cast<const char *>(saved.data()), kTextSize));
    FUZZ_CHECK(panel.shownText == loaded, "the panel shows %zu bytes, the name has %zu", panel.shownText.size(),
               loaded.size());
    if (panel.confirm) std::memcpy(expected.data(), panel.typed.data(), std::min(panel.typed.size(), kTextSize));
    const Block after = Save();
    FUZZ_CHECK(after == expected, "after the panel (%s) the saved block differs", panel.confirm ? "confirmed" : "cancelled");
    CheckDescription(after);
    return 0;
}
