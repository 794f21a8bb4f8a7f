// The host simulator's engine: loads the plug-in as the host application does and drives renders through its slots.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum class PanelAnswer { Cancel, Confirm };

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
