// The acquisition engine end to end in C++: replay of a 256 MiB recording
// (drained while it runs, and drained only after the run ended, with the
// resident memory per queued packet), and the latency from a write on a
// pseudo-terminal master to collect_packets returning the packet.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "parser/parser_engine.hpp"
#include "serial/file_source.hpp"
#include "serial/serial_source.hpp"
#include "stream.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Recording {
    std::string path;
    std::size_t frames = 0;
};

const Recording& recording() {
    static const Recording r = [] {
        Recording rec;
        char name[] = "/tmp/brimlet-bench-XXXXXX";
        const int fd = mkstemp(name);
        rec.path = name;
        const auto bytes = brimlet::bench::realistic_stream(256u << 20, &rec.frames);
        for (std::size_t pos = 0; pos < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + pos, bytes.size() - pos);
            if (n <= 0) std::abort();
            pos += static_cast<std::size_t>(n);
        }
        close(fd);
        std::atexit([] { unlink(recording().path.c_str()); });
        return rec;
    }();
    return r;
}

long resident_bytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

brimlet::ParserEngine open_engine(const std::string& path) {
    auto source = brimlet::open_recording(path);
    if (!source) std::abort();
    return brimlet::ParserEngine(std::move(*source));
}

// User and system processor time of the whole process so far, nanoseconds.
std::pair<double, double> cpu_ns() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval& t) { return double(t.tv_sec) * 1e9 + double(t.tv_usec) * 1e3; };
    return {ns(usage.ru_utime), ns(usage.ru_stime)};
}

void BM_ReplayDrainedWhileRunning(benchmark::State& state) {
    const Recording& rec = recording();
    std::size_t total = 0;
    double user = 0, system = 0;
    for (auto _ : state) {
        const auto [user0, system0] = cpu_ns();
        brimlet::ParserEngine engine = open_engine(rec.path);
        (void)engine.start();
        std::size_t got = 0;
        while (engine.is_running() || got < rec.frames) {
            auto batch = engine.collect_packets(100ms);
            if (!batch) break;
            got += batch->size();
            benchmark::DoNotOptimize(batch->size());
        }
        engine.stop();
        const auto [user1, system1] = cpu_ns();
        user += user1 - user0;
        system += system1 - system0;
        if (got != rec.frames) state.SkipWithError("lost packets");
        total += got;
    }
    state.counters["packets/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
    // Both threads: the reader's work and the drain, user and system time.
    state.counters["user_ns_per_packet"] = user / double(total);
    state.counters["system_ns_per_packet"] = system / double(total);
}
BENCHMARK(BM_ReplayDrainedWhileRunning)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ReplayDrainedAfterRun(benchmark::State& state) {
    const Recording& rec = recording();
    std::size_t total = 0;
    double per_packet = 0;
    double user = 0, system = 0;
    for (auto _ : state) {
        const long before = resident_bytes();
        const auto [user0, system0] = cpu_ns();
        brimlet::ParserEngine engine = open_engine(rec.path);
        (void)engine.start();
        while (engine.is_running()) std::this_thread::sleep_for(1ms);
        engine.stop();
        const auto [user1, system1] = cpu_ns();
        user += user1 - user0;
        system += system1 - system0;
        const long queued = resident_bytes();
        auto batch = engine.collect_packets(std::nullopt);
        if (!batch || batch->size() != rec.frames) state.SkipWithError("lost packets");
        per_packet = double(queued - before) / double(rec.frames);
        total += batch->size();
    }
    state.counters["packets/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
    state.counters["resident_bytes_per_queued_packet"] = per_packet;
    state.counters["record_bytes"] = double(sizeof(brimlet::IMUPacket));
    // Where the reader's time goes: user (scanning, decoding, queueing) and
    // system (reads, and the page faults of fresh channel blocks).
    state.counters["user_ns_per_packet"] = user / double(total);
    state.counters["system_ns_per_packet"] = system / double(total);
}
BENCHMARK(BM_ReplayDrainedAfterRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_PtyLatency(benchmark::State& state) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    auto source = brimlet::open_serial_port(ptsname(master), 921600, 1.0);
    if (!source) {
        state.SkipWithError(source.error().c_str());
        return;
    }
    brimlet::ParserEngine engine(std::move(*source));
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> payload;
    brimlet::bench::put_field(payload, 0x04, {1, 2, 3}, false);
    brimlet::bench::put_frame(frame, 0x80, payload);
    std::vector<double> micros;
    for (auto _ : state) {
        (void)engine.start();
        micros.clear();
        for (int k = 0; k < 10000; ++k) {
            const auto t0 = Clock::now();
            if (write(master, frame.data(), frame.size()) != ssize_t(frame.size())) std::abort();
            auto got = engine.collect_packets(1s);
            const auto t1 = Clock::now();
            if (!got || got->size() != 1) {
                state.SkipWithError("packet lost or late");
                break;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        engine.stop();
    }
    close(master);
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["latency_p50_us"] = micros[micros.size() / 2];
    state.counters["latency_p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_PtyLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
