// The server-name setting: the "Stats Server" panel, its load and save with the scene, and the filter's description line.
#include "plugin.h"

#include <cstdio>
#include <cstring>

namespace {

// serverName is written on host threads and read by the sender thread; this
// lock lives as long as the module so the panel works outside a run too.
struct NameLock {
    ThreadLock lock;
    NameLock() { LockInit(&lock); }
    ~NameLock() { LockDelete(&lock); }
    NameLock(const NameLock &) = delete;
    NameLock &operator=(const NameLock &) = delete;
};
NameLock nameLock;

char serverName[kTextSize];
char descriptionText[kTextSize];

constexpr uint32_t kTextAttribute = 4;
constexpr int32_t kValueText = 1;
constexpr int32_t kEditDescription[2] = {1, 50};

void SnapshotName(char (&out)[kTextSize]) {
    LockEnter(&nameLock.lock);
    std::memcpy(out, serverName, kTextSize);
    LockLeave(&nameLock.lock);
}

void StoreName(const char (&name)[kTextSize]) {
    LockEnter(&nameLock.lock);
    std::memcpy(serverName, name, kTextSize);
    LockLeave(&nameLock.lock);
}

}  // namespace

void CopyServerName(char (&out)[kTextSize + 1]) {
    LockEnter(&nameLock.lock);
    std::memcpy(out, serverName, kTextSize);
    LockLeave(&nameLock.lock);
    out[kTextSize] = '\0';
}

int32_t ActivateInterface(int32_t version, HostGlobalFunc *global, void *, void *) {
    if (version != HOST_ACTIVATE_VERSION) return 1;
    auto *panels = global ? static_cast<const HostPanelServices *>(global("VKPanelServices", 0)) : nullptr;
    if (!panels) return 2;
    if (!panels->create || !panels->destroy || !panels->open || !panels->addControl) return 0;
    void *panel = panels->create("Stats Server", nullptr);
    if (!panel) return 0;
    HostControl *edit = panels->addControl(panel, "EditControl", kEditDescription, "Server Name");
    if (edit && edit->get && edit->set) {
        char shown[kTextSize + 1];
        CopyServerName(shown);
        HostValue value{kValueText, shown, static_cast<int32_t>(std::strlen(shown) + 1)};
        edit->set(edit, kTextAttribute, &value);
        if (panels->open(panel, 3)) {
            char typed[kTextSize];
            SnapshotName(typed);
            HostValue answer{kValueText, typed, static_cast<int32_t>(kTextSize)};
            edit->get(edit, kTextAttribute, &answer);
            StoreName(typed);
        }
    }
    panels->destroy(panel);
    return 0;
}

int32_t TransferServerName(void *, const HostState *state) {
    if (!state || state->mode != 1 || !state->transfer) return 0;
    char before[kTextSize], block[kTextSize];
    SnapshotName(before);
    std::memcpy(block, before, kTextSize);
    // One function for load and save: the host either fills block or stores it.
    state->transfer(state->data, block, static_cast<int32_t>(kTextSize));
    if (std::memcmp(block, before, kTextSize) != 0) StoreName(block);
    return 0;
}

const char *DescribeFilter(void *) {
    char name[kTextSize + 1];
    CopyServerName(name);
    // Cut a long name so the line keeps its closing parenthesis and fits its buffer.
    constexpr int kRoom = static_cast<int>(kTextSize) - static_cast<int>(sizeof "Pellick Monitor ()");
    std::snprintf(descriptionText, sizeof descriptionText, "Pellick Monitor (%.*s)", kRoom, name);
    return descriptionText;
}
