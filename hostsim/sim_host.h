// The host simulator's engine: loads the plug-in as the host application does and drives renders through its slots.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

enum class PanelAnswer { Cancel, Confirm };

// How the pass time changes across the scene's frame range: constant, a
// linear ramp from one factor at the first frame to another at the last
// ("ramp:A-B"), one frame that many times slower ("spike:F:X"), or every
// frame from one on that many times slower ("step:F:X").
struct CostProfile {
    enum class Kind { Constant, Ramp, Spike, Step };
    Kind kind = Kind::Constant;
    double from = 1.0, to = 1.0;  // ramp: the factor at the first and at the last frame
    int32_t frame = 0;            // spike, step: the frame, and its factor
    double factor = 1.0;
};
// Factors lie in kMinCostFactor..kMaxCostFactor.
inline constexpr double kMinCostFactor = 0.01, kMaxCostFactor = 1000.0;
// "constant", "ramp:A-B", "spike:F:X" or "step:F:X" (A, B, X decimal
// factors, F a whole frame number). False with the reason on anything else.
bool ParseCostProfile(std::string_view text, CostProfile &profile, std::string &error);

// The step the simulator walks the scene's range with: the frame step, 1 when that is not positive.
inline int32_t RenderStep(int32_t frameStep) { return frameStep > 0 ? frameStep : 1; }

// Frames first, first + step, ... up to last, rendered in that order.
struct FrameRun {
    int32_t first, last, step;
};
// The frames one host renders, run after run; empty means the scene's whole range.
using FrameHandOut = std::vector<FrameRun>;
// A hand-out lists at most this many items, so a hostile list is refused before it grows.
inline constexpr size_t kMaxHandOutItems = 10000;
// A hand-out: comma-separated items "A" (one frame), "A-B" (the range in the
// scene's step; "A:B" is the same), "A-B:S" (every S-th frame from A to B),
// rendered in the order given. Every frame rendered must be one of the
// scene's (first..last in the scene's step). False with the reason otherwise.
bool ParseFrameHandOut(std::string_view text, int32_t sceneFirst, int32_t sceneLast, int32_t frameStep,
                       FrameHandOut &handOut, std::string &error);

// A node's speed factor: its pass times are divided by it.
inline constexpr double kMinSpeed = 0.01, kMaxSpeed = 100.0;
// A decimal from kMinSpeed to kMaxSpeed, the whole text; false with the reason otherwise.
bool ParseSpeed(std::string_view text, double &speed, std::string &error);
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
    FrameHandOut handOut;        // the frames this host renders; empty: the whole range
    uint32_t passes = 1;         // passes per frame
    uint32_t passMs = 100;       // time per pass
    uint32_t jitterPercent = 0;  // pass time varies by up to this much either way
    CostProfile cost;            // and scales with the frame as this says
    double speed = 1.0;          // and is divided by this node's speed
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
