// Cost of encoding and decoding one status message, beside a plain 750-byte copy.
#include "status_record.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

static StatusRecord Sample() {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, 16);
    r.passesDone = 12;
    r.totalPasses = 300;
    std::strcpy(r.sceneName, "shot_010");
    return r;
}

static void BM_Memcpy750(benchmark::State &state) {
    std::array<uint8_t, kMessageLength> src{}, dst{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        benchmark::DoNotOptimize(dst.data());
        std::memcpy(dst.data(), src.data(), dst.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy750);

static void BM_EncodeRecord(benchmark::State &state) {
    StatusRecord r = Sample();
    std::array<uint8_t, kMessageLength> out{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&r);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(EncodeRecord(r, kFieldTable, out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EncodeRecord);

static void BM_DecodeRecord(benchmark::State &state) {
    std::array<uint8_t, kMessageLength> msg{};
    EncodeRecord(Sample(), kFieldTable, msg);
    StatusRecord r{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(msg.data());
        benchmark::DoNotOptimize(&r);
        benchmark::DoNotOptimize(DecodeRecord(msg, kFieldTable, r));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecodeRecord);
