// The host simulator's engine: global lookup, scene record, scripted panel, scene state files and the render loops.
#include "sim_host.h"

#include "dynlib.h"
#include "host_api.h"
#include "status_record.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The host's answers; its global lookup takes no context, so they are module state.
struct HostState_ {
    uint32_t systemId;
    HostSceneInfo scene;
    std::string sceneName, sceneFile;
    PanelAnswer panel;
    std::string typed;
    std::string shown;  // what the plug-in put into the panel's field
    bool panelOpened;
} host;

struct SimControl {
    HostControl table;
} control;
int panelToken;

void ControlGet(HostControl *, uint32_t, HostValue *v) {
    if (!v || !v->text || v->size <= 0) return;
    const size_t room = static_cast<size_t>(v->size);
    const size_t n = host.typed.size() < room ? host.typed.size() : room - 1;
    std::memcpy(v->text, host.typed.data(), n);
    v->text[n] = '\0';
}

void ControlSet(HostControl *, uint32_t, HostValue *v) {
    if (!v || !v->text || v->size <= 0) return;
    host.shown.assign(v->text, strnlen(v->text, static_cast<size_t>(v->size)));
}

void *PanelCreate(const char *, void *) { return &panelToken; }
void PanelDestroy(void *) {}
int32_t PanelOpen(void *, int32_t) {
    host.panelOpened = true;
    return host.panel == PanelAnswer::Confirm ? 1 : 0;
}
HostControl *PanelAddControl(void *, const char *, const int32_t *, const char *) {
    control.table = HostControl{nullptr, ControlGet, ControlSet};
    return &control.table;
}
HostPanelServices panelServices = {PanelCreate, PanelDestroy, PanelOpen, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   PanelAddControl};

void *HostGlobal(const char *name, int32_t) {
    if (!name) return nullptr;
    if (std::strcmp(name, "System ID") == 0) return reinterpret_cast<void *>(static_cast<uintptr_t>(host.systemId));
    if (std::strcmp(name, "VK Scene Info 2") == 0) return &host.scene;
    if (std::strcmp(name, "VKPanelServices") == 0) return &panelServices;
    return nullptr;
}

// The scene state as a byte block: load hands the plug-in what the file held.
struct StateBlock {
    uint8_t bytes[kTextSize];
    bool load;
};
int32_t StateTransfer(void *data, void *buffer, int32_t size) {
    auto *block = static_cast<StateBlock *>(data);
    if (!block || !buffer || size <= 0) return 0;
    const size_t n = static_cast<size_t>(size) < kTextSize ? static_cast<size_t>(size) : kTextSize;
    if (block->load)
        std::memcpy(buffer, block->bytes, n);
    else
        std::memcpy(block->bytes, buffer, n);
    return static_cast<int32_t>(n);
}

bool ReadStateFile(const std::string &path, uint8_t (&bytes)[kTextSize], std::FILE *err) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::fprintf(err, "hostsim: cannot open state file %s\n", path.c_str());
        return false;
    }
    size_t n = std::fread(bytes, 1, kTextSize, f);
    int extra = std::fgetc(f);
    std::fclose(f);
    if (n != kTextSize || extra != EOF) {
        std::fprintf(err, "hostsim: state file %s is not a %zu-byte scene state\n", path.c_str(), kTextSize);
        return false;
    }
    return true;
}

bool WriteStateFile(const std::string &path, const uint8_t (&bytes)[kTextSize], std::FILE *err) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(bytes, 1, kTextSize, f) == kTextSize;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(err, "hostsim: cannot write state file %s\n", path.c_str());
    return ok;
}

const HostServerRecord *FindServer(const HostModuleDescriptor *d, const char *className) {
    for (const HostServerRecord *r = d->servers; r && r->className; ++r)
        if (std::strcmp(r->className, className) == 0 && r->serverName && r->activate) return r;
    return nullptr;
}

class Renderer {
public:
    Renderer(const SimOptions &o, HostPixelFilter &f)
        : o_(o), f_(f), rng_(o.seed ? o.seed : static_cast<uint32_t>(o.node * 7919u + static_cast<uint32_t>(
                                                   std::chrono::steady_clock::now().time_since_epoch().count()))) {}

    // Renders this host's frames in the order handed out; returns the passes done.
    uint64_t Frames(void *instance) {
        const FrameHandOut whole{{o_.firstFrame, o_.lastFrame, RenderStep(o_.frameStep)}};
        uint64_t passes = 0;
        for (const FrameRun &run : o_.handOut.empty() ? whole : o_.handOut) {
            for (int64_t frame = run.first; frame <= run.last; frame += run.step) {
                for (uint32_t p = 0; p < o_.passes; ++p) {
                    f_.newFrame(instance, static_cast<int32_t>(frame), static_cast<double>(frame));
                    // The pass renders; its pixels are handed over at its end.
                    Sleep(ScaledTime(PassTime(), static_cast<int32_t>(frame)));
                    for (uint32_t e = 0; e < o_.evaluates; ++e) f_.evaluate(instance, &pixel_);
                    ++passes;
                }
            }
        }
        return passes;
    }

    static void Sleep(uint32_t ms) {
        if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    // The pass time of this frame on this node.
    uint32_t ScaledTime(uint32_t ms, int32_t frame) const {
        const double scaled = ms * CostFactor(o_.cost, frame, o_.firstFrame, o_.lastFrame) / o_.speed;
        return scaled >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(scaled + 0.5);
    }

    uint32_t PassTime() {
        if (!o_.jitterPercent || !o_.passMs) return o_.passMs;
        const double spread = o_.passMs * (o_.jitterPercent > 100 ? 100 : o_.jitterPercent) / 100.0;
        std::uniform_real_distribution<double> d(-spread, spread);
        const double ms = o_.passMs + d(rng_);
        return ms < 0 ? 0 : static_cast<uint32_t>(ms + 0.5);
    }

    const SimOptions &o_;
    HostPixelFilter &f_;
    std::mt19937 rng_;
    uint8_t pixel_[16] = {};
};

// The run stays open after its last frame, e.g. while a test looks at the server.
void Hold(const SimOptions &o) {
    if (o.holdFile.empty()) {
        Renderer::Sleep(o.holdMs);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (std::FILE *f = std::fopen(o.holdFile.c_str(), "rb")) {
            std::fclose(f);
            return;
        }
        if (o.holdMs && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(o.holdMs)) return;
        Renderer::Sleep(20);
    }
}

}  // namespace

namespace {

// A decimal from low to high, the whole text; the error names what it is.
bool ParseDecimal(std::string_view text, const char *what, double low, double high, double &value,
                  std::string &error) {
    const char *end = text.data() + text.size();
    double parsed = 0;
    const auto [p, ec] = std::from_chars(text.data(), end, parsed, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || p != end || !(parsed >= low && parsed <= high)) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", low, high);
        error = std::string(what) + " \"" + std::string(text) + "\" is not a factor from " + range;
        return false;
    }
    value = parsed;
    return true;
}

bool ParseFactor(std::string_view text, const char *what, double &value, std::string &error) {
    return ParseDecimal(text, what, kMinCostFactor, kMaxCostFactor, value, error);
}

// A whole 32-bit number, the whole text.
bool ParseWhole(std::string_view text, int32_t &value) {
    const char *end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && p == end;
}

// Text of the user's quoted in an error, cut short so a hostile one keeps the line short.
std::string Quoted(std::string_view text) {
    constexpr size_t kShown = 40;
    return "\"" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
}

}  // namespace

bool ParseCostProfile(std::string_view text, CostProfile &profile, std::string &error) {
    CostProfile parsed;
    constexpr std::string_view kRamp = "ramp:";
    if (text == "constant") {
        profile = parsed;
        return true;
    }
    if (text.substr(0, kRamp.size()) == kRamp) {
        const std::string_view rest = text.substr(kRamp.size());
        const size_t dash = rest.find('-');
        if (dash == std::string_view::npos) {
            error = "a ramp is ramp:A-B, e.g. ramp:1-3";
            return false;
        }
        parsed.kind = CostProfile::Kind::Ramp;
        if (!ParseFactor(rest.substr(0, dash), "the ramp's start", parsed.from, error) ||
            !ParseFactor(rest.substr(dash + 1), "the ramp's end", parsed.to, error)) {
            return false;
        }
        profile = parsed;
        return true;
    }
    // A spike and a step are both NAME:F:X.
    struct FrameForm {
        std::string_view prefix;
        CostProfile::Kind kind;
        const char *name, *example;
    };
    constexpr FrameForm kFrameForms[] = {{"spike:", CostProfile::Kind::Spike, "spike", "spike:5:10"},
                                         {"step:", CostProfile::Kind::Step, "step", "step:20:2"}};
    for (const FrameForm &form : kFrameForms) {
        if (text.substr(0, form.prefix.size()) != form.prefix) continue;
        const std::string_view rest = text.substr(form.prefix.size());
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            error = std::string("a ") + form.name + " is " + form.name + ":F:X, e.g. " + form.example;
            return false;
        }
        const std::string_view frame = rest.substr(0, colon);
        if (!ParseWhole(frame, parsed.frame)) {
            error = std::string("the ") + form.name + "'s frame \"" + std::string(frame) +
                    "\" is not a whole frame number";
            return false;
        }
        parsed.kind = form.kind;
        const std::string what = std::string("the ") + form.name + "'s factor";
        if (!ParseFactor(rest.substr(colon + 1), what.c_str(), parsed.factor, error)) return false;
        profile = parsed;
        return true;
    }
    error = "\"" + std::string(text) + "\" is not constant, ramp:A-B, spike:F:X or step:F:X";
    return false;
}

namespace {

// One item of a hand-out: "A", "A-B", "A:B" or "A-B:S"; false with the reason otherwise.
bool ParseFrameRun(std::string_view item, int32_t frameStep, FrameRun &run, std::string &error) {
    const char *end = item.data() + item.size();
    const auto [p, ec] = std::from_chars(item.data(), end, run.first);
    run.last = run.first;
    run.step = RenderStep(frameStep);
    bool ok = !item.empty() && ec == std::errc();
    if (ok && p != end) {
        const std::string_view rest(p + 1, static_cast<size_t>(end - p - 1));
        // A colon after a dash range gives the step; "A:B" alone is a range.
        const size_t colon = *p == '-' ? rest.find(':') : std::string_view::npos;
        ok = (*p == '-' || *p == ':') && ParseWhole(rest.substr(0, colon), run.last) &&
             (colon == std::string_view::npos || ParseWhole(rest.substr(colon + 1), run.step));
    }
    if (!ok) {
        error = Quoted(item) + " is not a frame A, a range A-B or every S-th frame A-B:S";
    } else if (run.last < run.first) {
        error = Quoted(item) + " ends before it starts";
        ok = false;
    } else if (run.step < 1) {
        error = Quoted(item) + " has a step below 1";
        ok = false;
    }
    return ok;
}

// True when frame is one of the scene's frames.
bool InScene(int64_t frame, int32_t first, int32_t last, int32_t step) {
    return frame >= first && frame <= last && (frame - first) % step == 0;
}

// The first frame of run that is not one of the scene's, or false when it has none.
bool FrameOutsideScene(const FrameRun &run, int32_t first, int32_t last, int32_t step, int64_t &outside) {
    const int64_t from = run.first, by = run.step;
    const int64_t lastDone = from + (run.last - from) / by * by;
    if (!InScene(from, first, last, step)) {
        outside = from;
    } else if (lastDone == from) {
        return false;
    } else if (!InScene(from + by, first, last, step)) {
        outside = from + by;  // off the scene's step, or past its end
    } else if (lastDone > last) {
        outside = from + ((last - from) / by + 1) * by;
    } else {
        return false;  // the first two lie on the scene's step, so all between do
    }
    return true;
}

}  // namespace

bool ParseFrameHandOut(std::string_view text, int32_t sceneFirst, int32_t sceneLast, int32_t frameStep,
                       FrameHandOut &handOut, std::string &error) {
    const int32_t step = RenderStep(frameStep);
    FrameHandOut parsed;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (parsed.size() == kMaxHandOutItems) {
            error = "a hand-out lists at most " + std::to_string(kMaxHandOutItems) + " items";
            return false;
        }
        FrameRun run{};
        if (!ParseFrameRun(item, frameStep, run, error)) return false;
        int64_t outside = 0;
        if (FrameOutsideScene(run, sceneFirst, sceneLast, step, outside)) {
            error = "frame " + std::to_string(outside) + " of " + Quoted(item) + " is not one of the scene's frames (" +
                    std::to_string(sceneFirst) + "-" + std::to_string(sceneLast) + ", step " + std::to_string(step) +
                    ")";
            return false;
        }
        parsed.push_back(run);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    handOut = std::move(parsed);
    return true;
}

bool ParseSpeed(std::string_view text, double &speed, std::string &error) {
    return ParseDecimal(text, "the speed", kMinSpeed, kMaxSpeed, speed, error);
}

double CostFactor(const CostProfile &profile, int32_t frame, int32_t first, int32_t last) {
    switch (profile.kind) {
    case CostProfile::Kind::Constant: return 1.0;
    case CostProfile::Kind::Spike: return frame == profile.frame ? profile.factor : 1.0;
    case CostProfile::Kind::Step: return frame >= profile.frame ? profile.factor : 1.0;
    case CostProfile::Kind::Ramp: break;
    }
    if (last <= first) return profile.from;
    double t = (static_cast<double>(frame) - first) / (static_cast<double>(last) - first);
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    return profile.from + (profile.to - profile.from) * t;
}

int RunHostSim(const SimOptions &o, std::FILE *out, std::FILE *err) {
    host = HostState_{};
    host.systemId = o.systemId ? o.systemId
                    : o.renderNode ? (HOST_SYSTEM_RENDER_NODE | (o.node & HOST_SYSTEM_NODE_MASK))
                                   : 0x10000001u;
    host.sceneName = o.sceneName;
    host.sceneFile = o.sceneFile;
    host.scene.name = host.sceneName.c_str();
    host.scene.filename = host.sceneFile.c_str();
    host.scene.firstFrame = o.firstFrame;
    host.scene.lastFrame = o.lastFrame;
    host.scene.frameStep = o.frameStep;
    host.scene.v40 = o.sceneReal40;
    host.scene.v56 = o.sceneReal56;
    host.panel = o.panel;
    host.typed = o.typedServer;

    DynLib *lib = DynLoad(o.plugin.c_str());
    if (!lib) {
        char why[512];
        DynLastError(why, sizeof why);
        std::fprintf(err, "hostsim: cannot load %s: %s\n", o.plugin.c_str(), why);
        return kSimLoadFailed;
    }
    auto *d = static_cast<HostModuleDescriptor *>(DynSymbol(lib, "_mod_descrip"));
    if (!d || d->sysSync != HOST_SYS_SYNC || d->sysVersion != HOST_SYS_VERSION || d->machine != HOST_MACHINE ||
        !d->startup || !d->servers) {
        std::fprintf(err, "hostsim: %s has no valid _mod_descrip\n", o.plugin.c_str());
        DynUnload(lib);
        return kSimBadModule;
    }
    if (d->startup() == 0) {
        std::fprintf(err, "hostsim: the module's start-up failed\n");
        DynUnload(lib);
        return kSimBadModule;
    }
    const HostServerRecord *handler = FindServer(d, "PixelFilterHandler");
    const HostServerRecord *panel = FindServer(d, "PixelFilterInterface");
    HostPixelFilter filter{};
    int32_t activated = handler ? handler->activate(HOST_ACTIVATE_VERSION, HostGlobal, &filter, nullptr) : -1;
    int rc = 0;
    if (activated != 0 || !filter.create || !filter.destroy || !filter.renderStart || !filter.renderEnd ||
        !filter.newFrame || !filter.evaluate || !filter.load || !filter.save || !filter.describe) {
        std::fprintf(err, "hostsim: the PixelFilterHandler class did not activate (%d)\n", activated);
        rc = kSimBadModule;
    }

    if (rc == 0 && !o.loadState.empty()) {
        StateBlock block{{}, true};
        if (!ReadStateFile(o.loadState, block.bytes, err)) {
            rc = kSimStateFailed;
        } else {
            HostState state{1, &block, StateTransfer};
            filter.load(nullptr, &state);
        }
    }
    if (rc == 0 && panel) {
        const int32_t answer = panel->activate(HOST_ACTIVATE_VERSION, HostGlobal, nullptr, nullptr);
        if (!o.quiet)
            std::fprintf(out, "panel \"Stats Server\": showed \"%s\", %s (%d)\n", host.shown.c_str(),
                         !host.panelOpened ? "not opened" : o.panel == PanelAnswer::Confirm ? "confirmed" : "cancelled",
                         answer);
    }
    if (rc == 0 && !o.saveState.empty()) {
        StateBlock block{{}, false};
        HostState state{1, &block, StateTransfer};
        filter.save(nullptr, &state);
        if (!WriteStateFile(o.saveState, block.bytes, err)) rc = kSimStateFailed;
    }

    if (rc == 0) {
        if (!o.quiet) std::fprintf(out, "%s\n", filter.describe(nullptr));
        Renderer renderer(o, filter);
        const char *mode = o.renderNode ? "render node" : "interactive";
        // A render node renders once for its life; either way the host calls render start and end around each render.
        const int renders = o.renderNode ? 1 : o.renders;
        for (int r = 1; r <= renders; ++r) {
            void *instance = filter.create(nullptr, nullptr, nullptr);
            filter.renderStart(instance, 0);
            const uint64_t passes = renderer.Frames(instance);
            Hold(o);
            filter.renderEnd(instance);
            filter.destroy(instance);
            if (o.quiet) continue;
            if (o.renderNode) {
                std::fprintf(out, "%s, System ID 0x%08X: %llu passes\n", mode, host.systemId,
                             static_cast<unsigned long long>(passes));
            } else {
                std::fprintf(out, "%s render %d of %d: %llu passes\n", mode, r, o.renders,
                             static_cast<unsigned long long>(passes));
            }
        }
    }
    std::fflush(out);
    if (d->shutdown) d->shutdown();
    DynUnload(lib);
    return rc;
}
