// Cost of the plug-in on the host's render thread: an evaluate call that does nothing, a counted pass with encode and publish, beside a 750-byte copy.
#include "host_api.h"
#include "net.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" HostModuleDescriptor _mod_descrip;

namespace {

HostSceneInfo scene = [] {
    HostSceneInfo s{};
    s.name = "bench_shot";
    s.filename = "";
    s.firstFrame = 1;
    s.lastFrame = 1000000;
    s.frameStep = 1;
    return s;
}();

void *Global(const char *name, int32_t) {
    if (std::strcmp(name, "VK Scene Info 2") == 0) return &scene;
    if (std::strcmp(name, "System ID") == 0) return reinterpret_cast<void *>(uintptr_t{0x10000001});
    return nullptr;
}

// The plug-in activated as the host does, with a run open; no server listens.
struct Host {
    HostPixelFilter filter{};
    Host() {
#if defined(_WIN32)
        _putenv_s("PELLICK_TEST_PORT", "9");
#else
        setenv("PELLICK_TEST_PORT", "9", 1);  // discard port: nothing listens
#endif
        NetStartup();
        _mod_descrip.servers[0].activate(3, Global, &filter, nullptr);
        filter.renderStart(nullptr, 0);
    }
    ~Host() {
        filter.renderEnd(nullptr);
        NetCleanup();
    }
};

Host &TheHost() {
    static Host host;
    return host;
}

void BM_Memcpy750(benchmark::State &state) {
    std::array<uint8_t, 750> src{}, dst{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        benchmark::DoNotOptimize(dst.data());
        std::memcpy(dst.data(), src.data(), dst.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy750);

// Every evaluate call of a pass after its first (target: under 5 ns).
void BM_EvaluateAlreadyCounted(benchmark::State &state) {
    HostPixelFilter &f = TheHost().filter;
    f.newFrame(nullptr, 1, 1.0);
    f.evaluate(nullptr, nullptr);  // counts the pass
    uint8_t pixel[16] = {};
    for (auto _ : state) f.evaluate(nullptr, pixel);
}
BENCHMARK(BM_EvaluateAlreadyCounted);

// A counted pass: new frame, then the first evaluate counts, encodes and publishes (target: under 1 us).
void BM_CountedPass(benchmark::State &state) {
    HostPixelFilter &f = TheHost().filter;
    int32_t frame = 1;
    for (auto _ : state) {
        f.newFrame(nullptr, frame, 0.0);
        f.evaluate(nullptr, nullptr);
        frame = frame == 1000000 ? 1 : frame + 1;
    }
}
BENCHMARK(BM_CountedPass);

}  // namespace
