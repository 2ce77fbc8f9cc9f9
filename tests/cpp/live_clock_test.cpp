#include "timing/live_clock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "timing/sample_time_fit.hpp"

namespace brimlet::columns {
namespace {

constexpr std::int64_t kStart = 1'750'000'000'000'000'000;
constexpr std::int64_t kDelay = 500'000'000;

// A line of two kinds (1000 Hz of 68-byte frames, 100 Hz of 118-byte ones)
// read a few packets at a time, for 20 s, with one event at 8 s.
struct Line {
    std::string name;
    std::int64_t lost_frames = 0;     // the line loses this many in one stretch: a fragment is left
    std::int64_t skipped_frames = 0;  // the device sends none of this many: nothing is left
    std::int64_t step_back_ns = 0;    // the receive clock is set back this much (forward when negative)
    bool boot = false;                // the boot clock is read beside each receive time
};

struct Packets {
    std::vector<std::uint8_t> kind;
    std::vector<std::int64_t> time;
    std::vector<std::uint32_t> skipped;
    std::vector<std::uint64_t> end;
    std::vector<std::int64_t> boot;  // empty without the boot clock
    std::vector<std::size_t> reads;  // where each read's packets end
};

Packets make(const Line& line) {
    Packets p;
    std::uint64_t stream = 0, seed = 7;
    std::uint32_t pending = 0;
    std::int64_t read_at = 0;
    for (std::int64_t k = 0; k < 20'000; ++k) {
        const bool in_event = k >= 8'000 && k < 8'000 + std::max(line.lost_frames, line.skipped_frames);
        for (const std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{1}}) {
            if (kind == 1 && k % 10 != 0) continue;
            const std::int64_t length = kind == 0 ? 68 : 118;
            if (in_event) {
                if (line.lost_frames > 0) pending = 40;  // the fragment of the stretch's last frame
                if (line.lost_frames > 0) stream += static_cast<std::uint64_t>(length);
                continue;
            }
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            const std::int64_t sampled = k * 1'000'000 + (kind == 1 ? 400'000 : 0);
            const std::int64_t arrived = sampled + 600'000 + static_cast<std::int64_t>((seed >> 33) % 300'000);
            // Reads of a few packets each, taken in arrival order.
            if (p.kind.size() % 5 == 0 && !p.kind.empty()) p.reads.push_back(p.kind.size());
            const std::int64_t received = std::max(arrived, read_at);
            read_at = received;
            stream += pending + static_cast<std::uint64_t>(length);
            std::int64_t t = kStart + received;
            if (k >= 8'000) t -= line.step_back_ns;
            if (line.boot) p.boot.push_back(received + 5'000'000'000);
            p.kind.push_back(kind);
            p.time.push_back(t);
            p.skipped.push_back(pending);
            p.end.push_back(stream);
            pending = 0;
        }
    }
    p.reads.push_back(p.kind.size());
    return p;
}

class LiveClockLine : public testing::TestWithParam<Line> {};

// Every row comes out once, in order, as soon as half a second of the line
// has come after it and no sooner; per kind its time rises strictly and is
// never after its receive time (but across a step back); the packets
// counted missing are those the recording's fit counts.
TEST_P(LiveClockLine, GivesEachRowOnceInOrderAndCountsAsTheRecordingsFit) {
    const Line& line = GetParam();
    const Packets p = make(line);
    const std::size_t n = p.kind.size();
    LiveClock clock(2, kDelay);
    std::vector<std::int64_t> sample;
    std::vector<std::uint16_t> missing;
    std::int64_t newest = 0;
    for (std::size_t from = 0; const std::size_t to : p.reads) {
        const auto part = [&](const auto& v) { return std::span(v).subspan(from, to - from); };
        clock.push(part(p.kind), part(p.time), part(p.skipped), part(p.end),
                   p.boot.empty() ? std::span<const std::int64_t>() : part(p.boot));
        newest = std::max(newest, p.time[to - 1]);
        const std::size_t got = sample.size() + clock.ready();
        sample.resize(got);
        missing.resize(got);
        clock.take(std::span(sample).last(clock.ready()), std::span(missing).last(clock.ready()));
        if (line.step_back_ns == 0) {
            const auto due = static_cast<std::size_t>(
                std::upper_bound(p.time.begin(), p.time.end(), newest - kDelay) - p.time.begin());
            ASSERT_EQ(got, due) << "after row " << to;
        }
        from = to;
    }
    clock.settle(std::nullopt);
    const std::size_t before = sample.size();
    sample.resize(before + clock.ready());
    missing.resize(before + clock.ready());
    clock.take(std::span(sample).subspan(before), std::span(missing).subspan(before));
    ASSERT_EQ(sample.size(), n);
    EXPECT_FALSE(clock.first_held().has_value());

    std::vector<std::int64_t> offline(n);
    std::vector<std::uint16_t> offline_missing(n);
    const std::vector<KindFit> fits =
        sample_times({p.kind, p.time, p.skipped, p.end}, 2, true, offline, offline_missing, line.boot);
    for (std::uint8_t kind = 0; kind < 2; ++kind) {
        std::int64_t last = 0;
        std::uint64_t counted = 0;
        bool first = true;
        for (std::size_t i = 0; i < n; ++i) {
            if (p.kind[i] != kind) continue;
            if (line.step_back_ns <= 0) {
                EXPECT_LE(sample[i], p.time[i]) << "row " << i;
            }
            if (!first) {
                EXPECT_GT(sample[i], last) << "row " << i;
            }
            last = sample[i];
            first = false;
            counted += missing[i];
        }
        const KindFit stats = clock.stats(kind);
        const auto event = static_cast<std::uint64_t>(std::max(line.lost_frames, line.skipped_frames));
        EXPECT_EQ(counted, kind == 0 ? event : event / 10) << "kind " << int{kind};
        EXPECT_EQ(counted, fits[kind].missing) << "kind " << int{kind};
        EXPECT_EQ(stats.missing, counted);
        EXPECT_EQ(stats.packets, fits[kind].packets);
        // Told by the boot clock, the recording's axis follows it across a
        // step; the live clock, which cannot move what it gave out, steps.
        if (!line.boot) {
            EXPECT_EQ(stats.clock_steps, fits[kind].clock_steps);
        }
        EXPECT_EQ(stats.clock_steps, line.step_back_ns != 0 ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LiveClockLine,
                         testing::Values(Line{"clean"}, Line{"line_loses_10_frames", 10},
                                         Line{"line_loses_1000_frames", 1000},
                                         Line{"device_skips_20_frames", 0, 20},
                                         Line{"clock_set_back_an_hour", 0, 0, 3'600'000'000'000},
                                         Line{"device_pauses_a_second_beside_the_boot_clock", 0, 1000, 0, true},
                                         Line{"clock_set_on_an_hour_beside_the_boot_clock", 0, 0, -3'600'000'000'000,
                                              true}),
                         [](const testing::TestParamInfo<Line>& info) { return info.param.name; });

// Times on the host's 1 ms USB frames hide the sample phase but where it
// wraps (every 33 s for a crystal 30 ppm slow): the window grows to hold
// wraps, and from then on the times follow the crystal, not the frames.
TEST(LiveClockUsbFrames, FindsTheSamplePhaseOnceTheWindowHoldsItsWraps) {
    constexpr std::int64_t kFrame = 1'000'000;
    constexpr double kPeriod = 1'000'030.0;  // ns: 30 ppm slow
    constexpr std::int64_t kPackets = 100'000;
    LiveClock clock(1, kDelay);
    std::vector<std::int64_t> truth, sample;
    std::vector<std::uint16_t> missing;
    const auto take = [&] {
        const std::size_t got = sample.size();
        sample.resize(got + clock.ready());
        missing.resize(got + clock.ready());
        clock.take(std::span(sample).subspan(got), std::span(missing).subspan(got));
    };
    for (std::int64_t k = 0; k < kPackets; ++k) {
        const auto sampled = static_cast<std::int64_t>(kPeriod * static_cast<double>(k));
        // Sent in the next frame, received two frames later.
        const std::int64_t received = (sampled / kFrame + 1) * kFrame + 2 * kFrame;
        truth.push_back(sampled);
        const std::uint8_t kind = 0;
        const std::int64_t time = kStart + received;
        const std::uint32_t skipped = 0;
        const std::uint64_t end = static_cast<std::uint64_t>(k + 1) * 68;
        clock.push(std::span(&kind, 1), std::span(&time, 1), std::span(&skipped, 1), std::span(&end, 1));
        take();
    }
    clock.settle(std::nullopt);
    take();
    ASSERT_EQ(sample.size(), truth.size());
    // One offset taken away: the median error over the checked stretch.
    const std::size_t from = 70'000;
    std::vector<std::int64_t> error;
    for (std::size_t i = from; i < truth.size(); ++i) error.push_back(sample[i] - kStart - truth[i]);
    std::vector<std::int64_t> sorted = error;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const std::int64_t offset = sorted[sorted.size() / 2];
    std::int64_t worst = 0;
    for (const std::int64_t e : error) worst = std::max(worst, e > offset ? e - offset : offset - e);
    EXPECT_LT(worst, 20'000) << "ns off the crystal's line after 70 s";
    EXPECT_FALSE(clock.stats(0).phase_hidden);
}

}  // namespace
}  // namespace brimlet::columns
