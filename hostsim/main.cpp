// hostsim: a command-line stand-in for the host application that loads the Pellick plug-in and renders through it.
#include "sim_host.h"

#include "dynlib.h"
#include "status_record.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

#if defined(_WIN32)
constexpr const char *kPluginFile = "Pellick.dll";
#else
constexpr const char *kPluginFile = "Pellick.so";
#endif

// The plug-in beside this program, as a host finds its plug-ins folder (the build
// tree, the Windows zip), else where the Linux install puts it (<prefix>/lib/pellick).
std::string DefaultPlugin() {
    char folder[4096];
    if (!DynProgramFolder(folder, sizeof folder)) return kPluginFile;
    const std::string beside = std::string(folder) + kPluginFile;
#if !defined(_WIN32)
    const std::string installed = std::string(folder) + "../lib/pellick/" + kPluginFile;
    std::error_code ec;
    if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec)) return installed;
#endif
    return beside;
}

}  // namespace

int main(int argc, char **argv) {
    SimOptions o;
    o.plugin = DefaultPlugin();
    std::string mode = "interactive", frames, systemId, serverName, cost = "constant", speed = "1";
    bool cancel = false;

    CLI::App app{"hostsim: loads the Pellick plug-in as the host application does (LoadLibrary/dlopen, _mod_descrip, "
                 "activation of PixelFilterHandler and PixelFilterInterface with version 3) and renders through its "
                 "slots, so the plug-in reports to a status server. The plug-in reads the server name from the "
                 "\"Stats Server\" panel or a loaded scene state; the port is " + std::to_string(STATUS_PORT) + "."};
    app.option_defaults()->always_capture_default();
    app.add_option("--plugin", o.plugin, "Plug-in library to load")->capture_default_str();
    app.add_option("--mode", mode,
                   "interactive: each render is monitored from render start to render end; node: a render node, "
                   "monitored from the instance's creation to its destruction")
        ->check(CLI::IsMember({"interactive", "node"}));
    app.add_option("--node", o.node,
                   "Render node number from 1 (implies --mode node); the System ID is 0x20000000 | N and the "
                   "plug-in reports as CPU N")
        ->check(CLI::Range(1u, 0x0FFFFFFFu));
    app.add_option("--system-id", systemId, "Raw System ID to answer instead (e.g. 0x10000001), overriding the mode");
    app.add_option("--renders", o.renders, "Interactive: number of renders, each a monitoring run")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--scene-name", o.sceneName, "Scene name (part of the job identity)");
    app.add_option("--scene-file", o.sceneFile,
                   "Scene file path; its last-write time and size join the job identity (0 when it does not exist)");
    app.add_option("--first", o.firstFrame, "First frame of the scene's range");
    app.add_option("--last", o.lastFrame, "Last frame of the scene's range");
    app.add_option("--step", o.frameStep, "Frame step of the scene's range (the plug-in takes 0 as 1)");
    app.add_option("--frames", frames,
                   "Frames this host renders, A-B or A (default: the whole range); render nodes usually share a "
                   "range. A-B:S renders every S-th frame from A to B (e.g. 1-40:4: 1, 5, ..., 37); a list of "
                   "these, e.g. 3,7,12-14, renders in the order given (at most " +
                       std::to_string(kMaxHandOutItems) +
                       " items). Every frame must be one of the scene's (--first, --last, --step)");
    app.add_option("--passes", o.passes, "Passes per frame (anti-aliasing, motion blur)")->check(CLI::Range(1u, 100000u));
    app.add_option("--pass-ms", o.passMs, "Time per pass in milliseconds");
    app.add_option("--jitter", o.jitterPercent, "Pass time varies randomly by up to this percentage either way")
        ->check(CLI::Range(0u, 100u));
    app.add_option("--cost", cost,
                   "How the pass time changes over the scene's frame range: constant; ramp:A-B, scaled linearly "
                   "from A times at the first frame to B times at the last; spike:F:X, frame F X times slower; "
                   "step:F:X, every frame from F on X times slower (factors 0.01 to 1000, e.g. ramp:1-3, "
                   "spike:5:10, step:20:2)");
    app.add_option("--speed", speed,
                   "This node's speed factor, 0.01 to 100: its pass times are divided by it (2: twice as fast), "
                   "to play a farm of mixed nodes");
    app.add_option("--evaluates", o.evaluates, "Evaluate calls (pixels) per pass")->check(CLI::Range(1u, 100000000u));
    app.add_option("--seed", o.seed, "Seed of the jitter (0: from the node number and the clock)");
    app.add_option("--scene-real", o.sceneReal40, "The scene's first real value (sent as text, part of the identity)");
    app.add_option("--scene-real2", o.sceneReal56, "The scene's second real value");
    app.add_option("--server", serverName,
                   "Answer the \"Stats Server\" panel by typing this server name and confirming");
    app.add_flag("--panel-cancel", cancel, "Answer the \"Stats Server\" panel by cancelling (the default)");
    app.add_option("--load-state", o.loadState, "Load the scene state (the 260-byte server-name block) from this file first");
    app.add_option("--save-state", o.saveState, "Save the scene state to this file after the panel");
    app.add_option("--hold-ms", o.holdMs, "Keep the run open this long after the last frame before ending it");
    app.add_option("--hold-file", o.holdFile,
                   "Keep the run open after the last frame until this file exists (at most --hold-ms when given)");
    app.add_flag("--quiet", o.quiet, "Print nothing but errors");
    app.footer(
        "Examples:\n"
        "  hostsim --server 127.0.0.1 --first 1 --last 20 --passes 2 --pass-ms 200 --jitter 20\n"
        "  hostsim --node 3 --server farmhead --first 1 --last 90 --frames 61-90 --pass-ms 500\n"
        "  hostsim --server 127.0.0.1 --first 1 --last 40 --pass-ms 100 --cost ramp:1-3   (frame 40 takes 300 ms)\n"
        "  hostsim --node 2 --server farmhead --first 1 --last 40 --frames 2-40:4 --speed 2   (2, 6, ..., 38, twice "
        "as fast)\n"
        "  hostsim --server render-01 --save-state shot.state --renders 0   (store the name only)\n"
        "Exit codes: 0 done, 2 plug-in not loaded, 3 not a valid plug-in, 4 scene state file error.");
    CLI11_PARSE(app, argc, argv);

    if (app.count("--node") || mode == "node") o.renderNode = true;
    if (!systemId.empty()) {
        try {
            size_t used = 0;
            unsigned long v = std::stoul(systemId, &used, 0);
            if (used != systemId.size() || v > 0xFFFFFFFFul) throw std::out_of_range("System ID");
            o.systemId = static_cast<uint32_t>(v);
            o.renderNode = (o.systemId & 0xF0000000u) == 0x20000000u;
        } catch (...) {
            std::fprintf(stderr, "hostsim: --system-id %s is not a 32-bit number\n", systemId.c_str());
            return 1;
        }
    }
    std::string error;
    if (!ParseCostProfile(cost, o.cost, error)) {
        std::fprintf(stderr, "hostsim: --cost: %s\n", error.c_str());
        return 1;
    }
    if (!ParseSpeed(speed, o.speed, error)) {
        std::fprintf(stderr, "hostsim: --speed: %s\n", error.c_str());
        return 1;
    }
    if (!frames.empty() &&
        !ParseFrameHandOut(frames, o.firstFrame, o.lastFrame, o.frameStep, o.handOut, error)) {
        std::fprintf(stderr, "hostsim: --frames: %s\n", error.c_str());
        return 1;
    }
    if (app.count("--server") && cancel) {
        std::fprintf(stderr, "hostsim: --server and --panel-cancel exclude each other\n");
        return 1;
    }
    if (app.count("--server")) {
        o.panel = PanelAnswer::Confirm;
        o.typedServer = serverName;
    }
    return RunHostSim(o, stdout, stderr);
}
