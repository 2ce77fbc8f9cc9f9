// Throughput of the frame scanner over a 64 MiB realistic stream, fed in the
// reader's 2048-byte reads, beside a plain copy of the same bytes (the ceiling).

#include <benchmark/benchmark.h>

#include <cstring>

#include "stream.hpp"

namespace {

using brimlet::IMUPacket;

struct CountingSender {
    std::vector<IMUPacket> packets;
    bool send_all(std::span<const IMUPacket> batch) {
        packets.insert(packets.end(), batch.begin(), batch.end());
        return true;
    }
};

const std::vector<std::uint8_t>& stream(std::size_t* frames = nullptr) {
    static std::size_t count = 0;
    static const std::vector<std::uint8_t> bytes = brimlet::bench::realistic_stream(64u << 20, &count);
    if (frames) *frames = count;
    return bytes;
}

void BM_ScanFrames(benchmark::State& state) {
    std::size_t frames = 0;
    const auto& bytes = stream(&frames);
    CountingSender sender;
    sender.packets.reserve(frames);
    std::vector<std::uint8_t> buffer;
    buffer.reserve(4096);
    for (auto _ : state) {
        sender.packets.clear();
        for (std::size_t pos = 0; pos < bytes.size(); pos += 2048) {
            const std::size_t n = std::min<std::size_t>(2048, bytes.size() - pos);
            buffer.insert(buffer.end(), bytes.begin() + pos, bytes.begin() + pos + n);
            brimlet::scan_frames(buffer, sender);
        }
        benchmark::DoNotOptimize(sender.packets.data());
        if (sender.packets.size() != frames) state.SkipWithError("lost frames");
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["frames/s"] = benchmark::Counter(double(frames) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ScanFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainCopy(benchmark::State& state) {
    const auto& bytes = stream();
    std::vector<std::uint8_t> copy(bytes.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
