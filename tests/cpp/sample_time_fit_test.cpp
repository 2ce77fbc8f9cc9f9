#include "timing/sample_time_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace brimlet::columns {
namespace {

constexpr std::int64_t kStart = 1'750'000'000'000'000'000;
constexpr std::int64_t kHour = 3'600'000'000'000;

struct KindSpec {
    std::int64_t period;  // ns
    std::int64_t offset;  // first sample after the start, ns
    std::uint32_t length;  // bytes per frame
};
constexpr KindSpec kKinds[] = {{1'000'000, 0, 40}, {10'000'000, 500'000, 56}};

// A stream as a recording of it decodes: the packets that arrived, in the
// order sent, each received a little after it was sampled (every fifth on
// time), with what was lost and the truth beside it.
struct Stream {
    std::vector<std::uint8_t> kind;
    std::vector<std::int64_t> time, truth;
    std::vector<std::uint32_t> skipped;
    std::vector<std::uint64_t> end;
    std::vector<std::uint16_t> missing;  // the truth

    PacketTimes packets() const { return {kind, time, skipped, end}; }
};

struct Faults {
    std::set<std::int64_t> lost{};  // raw packets (by index) that never arrived
    std::set<std::int64_t> noise{};  // raw packets preceded by 20 bytes of noise, nothing lost
    std::set<std::int64_t> stalled{};  // raw packets a stalled reader took `stall` late
    std::int64_t stall = 1'700'000;
    double step_at = -1;  // the fraction of the stream after which the clock is set back an hour
    std::set<std::int64_t> lost_estimated{};  // estimated packets (by index) that never arrived
    std::set<std::int64_t> unsent{};  // raw packets the device skipped: nothing on the line
    std::pair<std::int64_t, std::int64_t> cut{-1, -1};  // raw packets the line lost in one stretch
    std::pair<std::int64_t, std::int64_t> late{-1, -1};  // raw packets none of which arrives on time
    std::pair<std::int64_t, std::int64_t> queued{-1, -1};  // estimated packets that wait behind a raw frame
    // Raw packets that waited about a period just before a skip: nothing
    // tells which side of it they lie, so they may be a period late and
    // the skip said at them.
    std::set<std::int64_t> either{};
    std::set<std::int64_t> quick{};  // raw packets read 30 us quicker than the floor allows any other
};

Stream make_stream(std::int64_t seconds, const Faults& faults) {
    Stream s;
    std::int64_t index[2] = {0, 0};
    std::uint16_t lost_before[2] = {0, 0};
    std::uint32_t pending = 0;
    std::uint64_t offset = 0;
    const std::int64_t duration = seconds * 1'000'000'000;
    while (true) {
        const int k = kKinds[1].offset + index[1] * kKinds[1].period < index[0] * kKinds[0].period ? 1 : 0;
        const std::int64_t sampled = kKinds[k].offset + index[k] * kKinds[k].period;
        if (sampled >= duration) break;
        const std::int64_t i = index[k]++;
        if (k == 0 && faults.unsent.contains(i)) {
            ++lost_before[k];
            continue;
        }
        if (k == 0 && faults.cut.first <= i && i <= faults.cut.second) {
            // Of the frames of the stretch only a third of the first and of the last arrive.
            pending += i == faults.cut.first || i == faults.cut.second ? kKinds[k].length / 3 : 0;
            ++lost_before[k];
            continue;
        }
        if ((k == 0 ? faults.lost : faults.lost_estimated).contains(i)) {
            pending += kKinds[k].length;  // a damaged frame: its bytes are passed over
            ++lost_before[k];
            continue;
        }
        if (k == 0 && faults.noise.contains(i)) pending += 20;
        offset += pending + kKinds[k].length;
        s.kind.push_back(static_cast<std::uint8_t>(k));
        s.truth.push_back(kStart + sampled);
        const std::int64_t stall = k == 0 && faults.stalled.contains(i) ? faults.stall : 0;
        const auto& [from, to] = k == 0 ? faults.late : faults.queued;
        const std::int64_t late = from <= i && i <= to ? (k == 0 ? 100'000 : 700'000) : 0;
        const std::int64_t quick = k == 0 && faults.quick.contains(i) ? 30'000 : 0;
        s.time.push_back(kStart + sampled + (i * 37 % 5) * 100'000 + stall + late - quick);
        s.skipped.push_back(std::exchange(pending, 0));
        s.end.push_back(offset);
        s.missing.push_back(std::exchange(lost_before[k], 0));
    }
    if (faults.step_at >= 0) {
        const auto from = static_cast<std::size_t>(faults.step_at * static_cast<double>(s.time.size()));
        for (std::size_t i = from; i < s.time.size(); ++i) s.time[i] -= kHour;
    }
    return s;
}

struct Case {
    std::string name;
    std::int64_t seconds;
    Faults faults;
};

class SampleTimeFit : public testing::TestWithParam<Case> {};

// Receive times that touch the truth now and then give it back exactly: the
// line, the missing packets, and the clock's steps bridged.
TEST_P(SampleTimeFit, RecoversTheTruth) {
    const Case& c = GetParam();
    const Stream s = make_stream(c.seconds, c.faults);
    std::vector<std::int64_t> sample(s.kind.size());
    std::vector<std::uint16_t> missing(s.kind.size());
    // The boot clock beside the receive times: a silence is never a clock step.
    const std::vector<KindFit> fits = sample_times(s.packets(), 2, true, sample, missing, true);
    bool said_early = false;  // the skip said at a packet before its place
    for (std::size_t i = 0; i < s.kind.size(); ++i) {
        const std::int64_t raw = s.kind[i] == 0 ? (s.truth[i] - kStart) / kKinds[0].period : -1;
        const bool either = c.faults.either.contains(raw);
        // A period late, but never after its receive time.
        if (either && sample[i] == std::min(s.truth[i] + kKinds[0].period, s.time[i])) {
            said_early = true;
            continue;
        }
        // A packet read quicker than the line allows keeps its receive time.
        ASSERT_EQ(sample[i], c.faults.quick.contains(raw) ? s.time[i] : s.truth[i]) << "packet " << i;
        if (said_early && s.kind[i] == 0) {
            said_early = false;
            continue;
        }
        ASSERT_EQ(missing[i], s.missing[i]) << "packet " << i;
    }
    ASSERT_EQ(fits.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(fits[k].packets, static_cast<std::uint64_t>(std::count(s.kind.begin(), s.kind.end(), k)));
        EXPECT_DOUBLE_EQ(fits[k].rate, 1e9 / static_cast<double>(kKinds[k].period));
        EXPECT_EQ(fits[k].clock_steps, c.faults.step_at >= 0 ? 1u : 0u);
    }
    const auto cut = c.faults.cut.first < 0 ? 0 : c.faults.cut.second - c.faults.cut.first + 1;
    EXPECT_EQ(fits[0].missing, c.faults.lost.size() + c.faults.unsent.size() + static_cast<std::size_t>(cut));
    EXPECT_EQ(fits[1].missing, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SampleTimeFit,
    testing::Values(Case{"clean", 3, {}}, Case{"lost_frames", 3, {.lost = {100, 101, 102, 700, 1500, 1503}}},
                    Case{"noise_without_loss", 3, {.noise = {50, 400, 1200}}},
                    Case{"clock_set_back", 3, {.lost = {900, 901}, .step_at = 0.5}},
                    // A frame the device skipped, then ten: no byte lost, only the floor steps.
                    Case{"device_skipped_frames", 3, {.unsent = {700, 1500, 1501, 1502, 1503, 1504, 1505, 1506, 1507, 1508, 1509}}},
                    // Skips, the first before the floor is known, some after a packet that
                    // waited most of a period in a read of its own.
                    Case{"skipped_after_waits", 3, {.stalled = {100, 500, 900}, .stall = 800'000, .unsent = {20, 101, 501, 901, 1300}}},
                    // A skip after a packet that waited over a period, which its receive
                    // time alone would put after the skip: the estimated packet sent
                    // between the two, and the estimated kind's count of raw packets, tell.
                    Case{"skipped_after_a_long_wait", 3, {.stalled = {1200}, .stall = 1'300'000, .unsent = {1201}}},
                    // A skip after a packet that waited all but 2 us of a period, with no
                    // estimated packet between: taken for one after the skip, it lies
                    // under the floor there, and the line must not rest on it.
                    Case{"skipped_after_a_wait_of_a_period",
                         3,
                         {.stalled = {1505}, .stall = 998'000, .unsent = {1506}, .either = {1505}}},
                    // One read quicker than every other, alone under a floor the rest
                    // reach every fifth packet: the line must not tilt onto it, nor
                    // put its sample after its receive time.
                    Case{"a_read_quicker_than_any_other", 3, {.quick = {1700}}},
                    // A stretch whose floor lies a tenth of a period high after its
                    // first packets: its neighbours tell its slope.
                    Case{"floor_high_for_a_while", 90, {.late = {30'010, 60'000}}},
                    // Estimated packets that reach their floor only in the first half second:
                    // the raw packets, sent from the same crystal, tell their slope.
                    Case{"rarer_kind_on_its_floor_briefly", 20, {.queued = {50, 2'000}}},
                    // A second of line lost: fragments of its first and last frames arrive.
                    Case{"line_lost_a_stretch", 4, {.cut = {1000, 1999}}},
                    // Nine packets held up after noise and before a loss, across a piece's end.
                    Case{"longer_than_a_piece",
                         70,
                         {.lost = {20'000, 65'539, 66'000, 66'001},
                          .noise = {65'530},
                          .stalled = {65'530, 65'531, 65'532, 65'533, 65'534, 65'535, 65'536, 65'537, 65'538},
                          .step_at = 0.7}}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Without receive times the estimated axis stays, and the bytes passed over
// count the frames they would hold: a lost frame of the rarer kind is told by
// the packets of the other around it, and the other's lost frames never
// count as its own.
TEST(SampleTimeEstimate, EstimatedAxisCountsFramesInTheBytesPassedOver) {
    const Stream s = make_stream(1, {.lost = {11, 12, 13, 301, 600}, .noise = {50}, .lost_estimated = {6, 20, 21}});
    std::vector<std::int64_t> sample(s.kind.size());
    std::vector<std::uint16_t> missing(s.kind.size());
    const std::vector<KindFit> fits = sample_times(s.packets(), 2, false, sample, missing);
    EXPECT_EQ(sample, s.time);
    for (std::size_t i = 0; i < s.kind.size(); ++i) EXPECT_EQ(missing[i], s.missing[i]) << i;
    EXPECT_EQ(fits[0].packets, 995u);
    EXPECT_EQ(fits[0].rate, 0);
}

}  // namespace
}  // namespace brimlet::columns
