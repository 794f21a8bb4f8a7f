// The host simulator's engine: loads the plug-in as the host application does and drives renders through its slots.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

enum class PanelAnswer { Cancel, Confirm };

// How the pass time changes across the scene's frame range: constant, a
// linear ramp from one factor at the first frame to another at the last
// ("ramp:A-B"), or one frame that many times slower ("spike:F:X").
struct CostProfile {
    enum class Kind { Constant, Ramp, Spike };
    Kind kind = Kind::Constant;
    double from = 1.0, to = 1.0;  // ramp: the factor at the first and at the last frame
    int32_t spikeFrame = 0;       // spike: the frame, and its factor
    double spikeFactor = 1.0;
};
// Factors lie in kMinCostFactor..kMaxCostFactor.
inline constexpr double kMinCostFactor = 0.01, kMaxCostFactor = 1000.0;
// "constant", "ramp:A-B" or "spike:F:X" (A, B, X decimal factors, F a whole
// frame number), nothing else. False with the reason on anything else.
bool ParseCostProfile(std::string_view text, CostProfile &profile, std::string &error);
// The factor of frame's pass time within the scene's range first..last
// (frames outside it take the nearer end's factor).
double CostFactor(const CostProfile &profile, int32_t frame, int32_t first, int32_t last);

struct SimOptions {
    std::string plugin;          // path of the plug-in library
    bool renderNode = false;     // render-node mode: one instance for the whole run
    uint32_t systemId = 0;       // answered for "System ID"; 0 means derive from mode and node
    uint32_t node = 1;           // render node number, from 1
    int renders = 1;             // interactive: render start/end pairs
    std::string sceneName = "scene";
    std::string sceneFile;       // may name a file that does not exist
    int32_t firstFrame = 1, lastFrame = 10, frameStep = 1;  // the scene's range
    bool ownFrames = false;      // this host renders only renderFirst..renderLast
    int32_t renderFirst = 1, renderLast = 10;
    uint32_t passes = 1;         // passes per frame
    uint32_t passMs = 100;       // time per pass
    uint32_t jitterPercent = 0;  // pass time varies by up to this much either way
    CostProfile cost;            // and scales with the frame as this says
    uint32_t evaluates = 1000;   // evaluate calls per pass
    uint32_t seed = 0;           // jitter seed; 0 picks one from the node and the clock
    double sceneReal40 = 0.0, sceneReal56 = 0.0;
    PanelAnswer panel = PanelAnswer::Cancel;
    std::string typedServer;     // what the scripted user types when confirming
    std::string loadState, saveState;  // files of the 260-byte scene state
    uint32_t holdMs = 0;         // keep the run open this long after the last frame
    std::string holdFile;        // or until this file exists (at most holdMs when that is set)
    bool quiet = false;
};

// Runs the whole session: load, check, activate, panel, state, renders, unload.
// Returns 0 on success, otherwise one of the codes below; messages go to out/err.
int RunHostSim(const SimOptions &options, std::FILE *out, std::FILE *err);

inline constexpr int kSimLoadFailed = 2;
inline constexpr int kSimBadModule = 3;
inline constexpr int kSimStateFailed = 4;
