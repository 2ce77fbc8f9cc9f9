#include "timing/sample_time_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "timing/lone_floor.hpp"
#include "timing/lower_envelope.hpp"

namespace brimlet::columns {

namespace {

// A line quiet this long between two packets of a kind may hide packets the
// device never sent: the floor's step tells how many. One quiet longer than
// the other bound (more packets than a count holds at the highest rates)
// starts the fit anew, as a clock step does.
constexpr std::int64_t kSilenceNs = 100'000'000;
constexpr std::int64_t kLongestSilenceNs = 60'000'000'000;
// Receive time per fitted piece at most: within it a warming crystal's rate
// moves so little that the line stays within a microsecond or so of it.
// Times on the USB frames hide the sample phase but where it wraps (every
// 33 s at 30 ppm): their pieces hold this many wraps, and are at least the
// shorter length, at most the longer.
constexpr std::int64_t kPieceNs = 30'000'000'000;
constexpr std::int64_t kUsbPieceNs = 60'000'000'000;
constexpr double kUsbPieceWraps = 2.5;
constexpr double kLongestUsbPieceNs = 1'800e9;
// A run of packets between two places where packets may be missing reaches
// the floor of its receive times when it spans this long and this many
// packets.
constexpr std::int64_t kTrustedSpanNs = 50'000'000;
constexpr std::size_t kTrustedPackets = 8;
constexpr std::int64_t kMaxMissing = 0xFFFF;
// A floor that wanders by more than this share of a period from one stretch
// to the next, more often than the other share (beyond the chance of the
// pairs looked at: that many standard deviations), tells no skipped frame by
// itself; nor one that needs a stretch longer than this.
constexpr double kFloorWander = 0.125;
constexpr double kWanderedShare = 0.1;
constexpr double kWanderedChance = 2;
// The floor's usual wander: this share of stretches wander less; and the
// least told apart, in periods.
constexpr double kUsualWander = 0.9;
constexpr double kLeastWander = 1.0 / 256;
// The packets of one kind between two of another's tell skipped frames when
// this share of such counts or more are the same.
constexpr double kSteadyShare = 0.75;
// A floor that tells fewer than one in this many of the skips the other
// kind tells misses them: the other kind's count stands there.
constexpr std::size_t kFloorTold = 2;
constexpr double kLongestStretchNs = 1e9;
// Receive times on the host's USB frames: this share of them or more within
// two twentieths of the frame.
constexpr std::int64_t kUsbFrameNs = 1'000'000;
constexpr std::size_t kStretchPairs = 1024;  // pairs of stretches that tell the floor's wander
constexpr std::size_t kPhaseBins = 20;
constexpr double kUsbPhaseShare = 0.6;
constexpr std::size_t kPhaseSample = 1 << 16;  // packets looked at, spread evenly
// A kind sent from the same crystal as the commonest, at a whole ratio of
// its rate (within this share), takes the commonest's slope times the ratio
// in each piece whose own strays from it by more than the other share: its
// fewer packets reach the floor more seldom. Two kinds that reach their
// floors across a piece stray by a few parts per million; a floor reached in
// only part of a piece tilts its line by tens.
constexpr double kRatioShare = 1e-3;
constexpr double kSlopeStray = 25e-6;
// The first frames of a kind that tell its usual length, and the longest
// length told apart.
constexpr std::size_t kLengthSample = 4096;
constexpr std::int64_t kLongestFrame = 300;

// Packets missing just before a packet of a kind: its place among the
// packets of its kind, and how many.
struct Gap {
    std::size_t at;
    std::int64_t missing;
};

// Where bytes were passed over before a packet of a kind: its place among
// the packets of its kind (never the first), and the bytes passed over since
// the packet of its kind before.
struct Loss {
    std::size_t at;
    std::int64_t bytes;
};

// A kind's fitted slope (ns per packet) over the receive time: piece p from
// begin[p] to the next, the last to `end`. What the rarer kinds sent from
// the same crystal take their slopes from where theirs stray.
struct Guide {
    std::vector<std::int64_t> begin;
    std::vector<double> slope;
    std::int64_t end = 0;

    // The mean slope over the receive times `from` to `to`, weighted by the
    // time each piece spans of it; NaN where it spans none.
    double over(std::int64_t from, std::int64_t to) const {
        double sum = 0, weight = 0;
        for (std::size_t p = 0; p < begin.size(); ++p) {
            const std::int64_t stop = p + 1 < begin.size() ? begin[p + 1] : end;
            const auto spanned = static_cast<double>(std::min(stop, to) - std::max(begin[p], from));
            if (spanned <= 0 || std::isnan(slope[p])) continue;
            sum += slope[p] * spanned;
            weight += spanned;
        }
        return weight > 0 ? sum / weight : std::numeric_limits<double>::quiet_NaN();
    }
};

// The kind with most packets among `kinds` (the first of equals); past any
// code when there is none.
std::size_t commonest(std::span<const std::span<std::int64_t>> kinds) {
    std::size_t top = std::numeric_limits<std::size_t>::max();
    for (std::size_t c = 0; c < kinds.size(); ++c) {
        if (c == 0 || kinds[c].size() > kinds[top].size()) top = c;
    }
    return top;
}

// The receive times of the packets of each kind below `kinds.size()` into
// its `kinds[code]` (as long as there are of them), and where bytes were
// passed over before one into its `losses[code]`: one pass for all kinds.
void gather(const PacketTimes& p, std::span<const std::span<std::int64_t>> kinds,
            std::span<std::vector<Loss>> losses) {
    std::vector<std::int64_t> total_before(kinds.size(), 0);
    std::vector<std::size_t> j(kinds.size(), 0);
    std::int64_t total = 0;
    // The commonest kind's place and total kept at hand, the others' in `j`
    // and `total_before`.
    const std::size_t top = commonest(kinds);
    std::size_t top_j = 0;
    std::int64_t top_before = 0;
    for (std::size_t i = 0; i < p.kind.size(); ++i) {
        total += p.skipped[i];
        const std::uint8_t code = p.kind[i];
        if (code == top) {
            if (top_j > 0 && total > top_before) losses[code].push_back({top_j, total - top_before});
            top_before = total;
            kinds[code][top_j++] = p.time[i];
            continue;
        }
        if (code >= kinds.size()) continue;
        if (j[code] > 0 && total > total_before[code]) losses[code].push_back({j[code], total - total_before[code]});
        total_before[code] = total;
        kinds[code][j[code]++] = p.time[i];
    }
}

// The usual length of the frames of kind `code`, from the first thousands
// that follow another frame: the commonest, the shortest of equals; 0 when
// none does.
std::int64_t frame_length(const PacketTimes& p, std::uint8_t code) {
    std::array<std::size_t, kLongestFrame + 1> counts{};
    std::size_t seen = 0;
    for (std::size_t i = 1; i < p.kind.size() && seen < kLengthSample; ++i) {
        if (p.kind[i] != code) continue;
        ++seen;
        const std::int64_t length =
            static_cast<std::int64_t>(p.end[i]) - p.skipped[i] - static_cast<std::int64_t>(p.end[i - 1]);
        ++counts[static_cast<std::size_t>(std::clamp<std::int64_t>(length, 0, kLongestFrame))];
    }
    if (seen == 0) return 0;
    return std::max_element(counts.begin(), counts.end()) - counts.begin();
}

// The sum of `values` added in the same order as numpy's pairwise sum, so
// that a mean here is the very one numpy gives.
double pairwise_sum(std::span<const double> values) {
    const std::size_t n = values.size();
    if (n < 8) {
        double sum = 0;
        for (const double v : values) sum += v;
        return sum;
    }
    if (n <= 128) {
        std::array<double, 8> r{};
        std::copy_n(values.begin(), 8, r.begin());
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += values[i + j];
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += values[i];
        return sum;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(values.first(half)) + pairwise_sum(values.subspan(half));
}

// The mean of `values` weighted by `weights`, as numpy's average gives it.
double weighted_mean(std::span<const double> values, std::span<const std::size_t> weights) {
    std::vector<double> products(values.size());
    double total = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        products[i] = values[i] * static_cast<double>(weights[i]);
        total += static_cast<double>(weights[i]);
    }
    return pairwise_sum(products) / total;
}

// Packets in each piece that starts at `starts`, the last ending at `n`.
std::vector<std::size_t> piece_sizes(std::span<const std::int64_t> starts, std::size_t n) {
    std::vector<std::size_t> sizes(starts.size());
    for (std::size_t p = 0; p < starts.size(); ++p) {
        const auto end = p + 1 < starts.size() ? static_cast<std::size_t>(starts[p + 1]) : n;
        sizes[p] = end - static_cast<std::size_t>(starts[p]);
    }
    return sizes;
}

// The median of the positive steps between receive times; 1 when there is none.
double median_step(std::span<const std::int64_t> t) {
    std::vector<std::int64_t> steps;
    for (std::size_t i = 1; i < t.size(); ++i) {
        if (t[i] > t[i - 1]) steps.push_back(t[i] - t[i - 1]);
    }
    if (steps.empty()) return 1.0;
    const std::size_t mid = steps.size() / 2;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(mid), steps.end());
    if (steps.size() % 2 == 1) return static_cast<double>(steps[mid]);
    const std::int64_t below = *std::max_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(mid));
    return (static_cast<double>(below) + static_cast<double>(steps[mid])) / 2;
}

// A packet placed after a step of the floor that may be one before it that
// waited a period: lying under the floor after the step, it would pull the
// line down. The line takes it `by` ns higher, at that floor.
struct Lift {
    std::size_t at;
    std::int64_t by;
};

// The receive time of packet `i` as the line takes it, `lift` pointing at
// the first lift not before `i` (lifts in order of their packets).
std::int64_t lifted(std::span<const std::int64_t> t, std::size_t i, std::span<const Lift>::iterator& lift,
                    std::span<const Lift>::iterator end) {
    while (lift != end && lift->at < i) ++lift;
    return lift != end && lift->at == i ? t[i] + lift->by : t[i];
}

// The vertices of the lower hull of each run's points (index, receive
// time): run r's from first[r] to first[r + 1]. The pieces fitted later are
// made of whole runs but at their ends, and take these.
struct RunHulls {
    std::vector<HullPoint> vertices;
    std::vector<std::size_t> first;
};

// The period of packets with receive times `t`, from the runs that start at
// `runs` (no packet missing within a run): the median of the runs' own
// lower-envelope slopes, weighted by their lengths. Their hulls into `hulls`,
// the packets at `lifts` lifted.
double run_period(std::span<const std::int64_t> t, std::span<const std::int64_t> runs, std::span<const Lift> lifts,
                  RunHulls& hulls) {
    std::vector<EnvelopeLine> lines(runs.size());
    std::vector<HullPoint> hull;
    std::vector<std::int64_t> raised;
    hulls.vertices.clear();
    hulls.first.assign(1, 0);
    auto lift = lifts.begin();
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const auto begin = static_cast<std::size_t>(runs[r]);
        const std::size_t end = r + 1 < runs.size() ? static_cast<std::size_t>(runs[r + 1]) : t.size();
        while (lift != lifts.end() && lift->at < begin) ++lift;
        if (lift != lifts.end() && lift->at < end) {
            raised.clear();
            for (std::size_t i = begin; i < end; ++i) raised.push_back(lifted(t, i, lift, lifts.end()));
            lines[r] = fit_lower_envelope(raised, hull);
        } else {
            lines[r] = fit_lower_envelope(t.subspan(begin, end - begin), hull);
        }
        for (const HullPoint& v : hull) hulls.vertices.push_back({v.x + static_cast<std::int64_t>(begin), v.y});
        hulls.first.push_back(hulls.vertices.size());
    }
    const std::vector<std::size_t> sizes = piece_sizes(runs, t.size());
    std::vector<std::pair<double, std::size_t>> usable;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const double slope = lines[r].slope;
        if (sizes[r] >= 3 && std::isfinite(slope) && slope > 0) usable.emplace_back(slope, sizes[r]);
    }
    if (usable.empty()) return median_step(t);
    std::sort(usable.begin(), usable.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t all = 0;
    for (const auto& u : usable) all += u.second;
    const double half = static_cast<double>(all) / 2;
    std::size_t below = 0;
    for (const auto& [slope, size] : usable) {
        below += size;
        if (static_cast<double>(below) >= half) return slope;
    }
    return usable.back().first;
}

// The period of packets with receive times `t` (one epoch), from short
// stretches: a low share of their lower-envelope slopes, as a stretch that
// holds a frame the device skipped rises by a period more.
double short_period(std::span<const std::int64_t> t) {
    constexpr std::size_t kStretch = 64, kStretches = 512;  // as many stretches, spread evenly, at most
    if (t.size() < 2 * kStretch) return median_step(t);
    const std::size_t every = std::max<std::size_t>(t.size() / kStretch / kStretches, 1) * kStretch;
    std::vector<EnvelopeLine> lines;
    for (std::size_t i = 0; i + kStretch <= t.size(); i += every) {
        const std::int64_t whole[] = {0};
        lines.emplace_back();
        fit_lower_envelopes(t.subspan(i, kStretch), whole, std::span(&lines.back(), 1));
    }
    std::vector<double> slopes;
    for (const EnvelopeLine& line : lines) {
        if (std::isfinite(line.slope) && line.slope > 0) slopes.push_back(line.slope);
    }
    if (slopes.empty()) return median_step(t);
    const auto at = static_cast<std::ptrdiff_t>(slopes.size() / 5);
    std::nth_element(slopes.begin(), slopes.begin() + at, slopes.end());
    return slopes[static_cast<std::size_t>(at)];
}

// Whether the receive times `t` keep to the host's 1 ms USB frames: most
// of them within a tenth of the millisecond of one phase of it. The floor
// of such times moves by a whole millisecond where the sample phase wraps,
// as it would where a frame was skipped.
bool on_usb_frames(std::span<const std::int64_t> t) {
    std::array<std::size_t, kPhaseBins> bins{};
    const std::size_t every = std::max<std::size_t>(t.size() / kPhaseSample, 1);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < t.size(); i += every, ++seen) {
        const std::int64_t time = t[i];
        const std::int64_t phase = (time % kUsbFrameNs + kUsbFrameNs) % kUsbFrameNs;
        ++bins[static_cast<std::size_t>(phase * static_cast<std::int64_t>(kPhaseBins) / kUsbFrameNs)];
    }
    std::size_t most = 0;
    for (std::size_t b = 0; b < kPhaseBins; ++b) most = std::max(most, bins[b] + bins[(b + 1) % kPhaseBins]);
    return static_cast<double>(most) >= kUsbPhaseShare * static_cast<double>(seen);
}

// The least residual (t[i] - t[0]) - period * i of the packets `from` to
// `to`; infinite where there is none. Four lanes, as the least of them does
// not depend on the order they are taken in.
double least_residual(std::span<const std::int64_t> t, std::size_t from, std::size_t to, double period) {
    constexpr double kNone = std::numeric_limits<double>::infinity();
    const std::int64_t t0 = t[0];
    // The index counted in doubles: whole numbers, so exactly the index.
    double index = static_cast<double>(from);
    const auto at = [&](std::size_t i, double x) { return static_cast<double>(t[i] - t0) - period * x; };
    double lane0 = kNone, lane1 = kNone, lane2 = kNone, lane3 = kNone;
    std::size_t i = from;
    for (; i + 4 <= to; i += 4, index += 4) {
        lane0 = std::min(lane0, at(i, index));
        lane1 = std::min(lane1, at(i + 1, index + 1));
        lane2 = std::min(lane2, at(i + 2, index + 2));
        lane3 = std::min(lane3, at(i + 3, index + 3));
    }
    for (; i < to; ++i, index += 1) lane0 = std::min(lane0, at(i, index));
    return std::min(std::min(lane0, lane1), std::min(lane2, lane3));
}

// The least of each `w` residuals from each on: out[i] for i + w <= n.
std::vector<double> least_ahead(std::span<const double> residual, std::size_t w) {
    const std::size_t n = residual.size();
    std::vector<double> ahead(n - w + 1);
    std::vector<std::size_t> window;  // indices of rising residuals, the least at `head`
    std::size_t head = 0;
    for (std::size_t i = n; i-- > 0;) {
        while (window.size() > head && residual[window.back()] >= residual[i]) window.pop_back();
        window.push_back(i);
        if (window[head] >= i + w) ++head;
        if (i + w <= n) ahead[i] = residual[window[head]];
    }
    return ahead;
}

// Where a step of the floor lies among packets `low` to `high`: after the
// last packet whose residual lies under `after` (the floor after the step
// less its wander), as no packet the step follows sits so low. Packets
// before that place that waited a period or more may be taken for ones
// after it: their receive times cannot tell. At the start of its read:
// within a read, nothing tells which packets follow the step.
std::size_t step_place(std::span<const std::int64_t> t, std::span<const double> residual, std::size_t low,
                       std::size_t high, double after) {
    std::size_t at = low;
    for (std::size_t i = low; i < high; ++i) {
        if (residual[i] < after) at = i + 1;
    }
    at = std::min(at, residual.size() - 1);
    while (at > low && t[at - 1] == t[at]) --at;
    return at;
}

// Where the floor of one epoch's receive times steps up by half a period
// or more, and the packets of a stretch that reaches the floor.
struct FloorSteps {
    std::vector<std::size_t> places;
    std::size_t stretch = 0;  // 0: the floor tells nothing by itself
    std::vector<Lift> lifts;  // after the places, not always in order
};

// Where the floor of the receive times `t` (one epoch) steps up by half a
// period or more: a frame the device skipped leaves no byte behind, only
// that step. Each place is the first packet from which on the packets of a
// stretch long enough to reach the floor all lie that far above the floor
// of the stretch before; the floor's steps say how many are missing there.
// The stretch is the shortest, from 50 ms on, from which to the next the
// floor hardly ever wanders by over an eighth of a period other than by
// whole periods (a converter's long timer at a low rate needs several of
// its ticks); none where no stretch up to a second does, or where the
// times keep to the USB frames.
// `usb`: whether they keep to the USB frames.
FloorSteps floor_steps(std::span<const std::int64_t> t, bool usb) {
    const std::size_t n = t.size();
    const double rough = short_period(t);
    if (!(rough > 0) || usb) return {};
    std::vector<double> residual;  // made only where a stretch reaches the floor
    const auto residuals = [&](double period) {
        residual.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            residual[i] = static_cast<double>(t[i] - t[0]) - period * static_cast<double>(i);
        }
    };
    // The floor's change from a stretch of w to the next, apart from whole
    // periods (the least of each stretch's t - period * index), for pairs
    // of stretches spread evenly, kStretchPairs at most.
    std::vector<double> fractions;
    const std::size_t shortest = std::max(kTrustedPackets, static_cast<std::size_t>(std::ceil(kTrustedSpanNs / rough)));
    // Against the rough period, the floor of each block of the shortest
    // stretch: every stretch tried is a whole number of them, starting at a
    // whole number of them, so its floor is the least of its blocks'.
    const std::size_t longest = static_cast<std::size_t>(std::ceil(kLongestStretchNs / rough));
    std::vector<double> rough_blocks(shortest <= longest && 8 * shortest <= n ? n / shortest : 0);
    for (std::size_t b = 0; b < rough_blocks.size(); ++b) {
        rough_blocks[b] = least_residual(t, b * shortest, (b + 1) * shortest, rough);
    }
    const auto least = [&](std::size_t from, std::size_t w, double period) {
        if (period != rough) return least_residual(t, from, from + w, period);
        const auto blocks = std::span(rough_blocks).subspan(from / shortest, w / shortest);
        return *std::min_element(blocks.begin(), blocks.end());
    };
    const auto changes = [&](std::size_t w, double period) {
        fractions.clear();
        const std::size_t every = std::max<std::size_t>(n / w / kStretchPairs, 1) * w;
        double last = 0;  // the floor of the stretch from `last_from`, the second of the pair before
        std::size_t last_from = n;
        for (std::size_t from = 0; from + 2 * w <= n; from += every) {
            const double first = from == last_from ? last : least(from, w, period);
            last = least(from + w, w, period);
            last_from = from + w;
            const double change = (last - first) / period;
            fractions.push_back(change - std::nearbyint(change));
        }
    };
    for (std::size_t w = shortest; w <= longest && 8 * w <= n; w *= 2) {
        // The rough period, mended by the floor's usual drift from one
        // stretch to the next (whole periods, the device's skips, set apart).
        changes(w, rough);
        const auto mid = fractions.begin() + static_cast<std::ptrdiff_t>(fractions.size() / 2);
        std::nth_element(fractions.begin(), mid, fractions.end());
        const double period = rough * (1 + *mid / static_cast<double>(w));
        changes(w, period);
        // How far the floor wanders from one stretch to the next: too far too
        // often, and the stretch is too short to reach the floor.
        const auto wandered = static_cast<double>(
            std::count_if(fractions.begin(), fractions.end(), [](double f) { return std::abs(f) > kFloorWander; }));
        const auto pairs = static_cast<double>(fractions.size());
        if (wandered > kWanderedShare * pairs + kWanderedChance * std::sqrt(kWanderedShare * (1 - kWanderedShare) * pairs)) {
            continue;
        }
        // How far the floor after a step may lie under the stretch that
        // measures it: twice the usual wander.
        double below = kFloorWander * period;
        if (!fractions.empty()) {
            for (double& f : fractions) f = std::abs(f);
            const auto usual = fractions.begin() +
                               static_cast<std::ptrdiff_t>(kUsualWander * static_cast<double>(fractions.size() - 1));
            std::nth_element(fractions.begin(), usual, fractions.end());
            below = std::min(2 * *usual + kLeastWander, kFloorWander) * period;
        }
        residuals(period);
        const std::vector<double> ahead = least_ahead(residual, w);
        FloorSteps found{{}, w, {}};
        bool stepped = false;
        for (std::size_t i = w; i + w <= n; ++i) {
            const bool step = ahead[i] - ahead[i - w] >= period / 2;
            if (step && !stepped) {
                // The floor after the step, from a stretch that starts past
                // the packets that waited before it.
                const double floor_after = ahead[std::min(i + w / 2, n - w)];
                const double steps = std::nearbyint((floor_after - ahead[i - w]) / period);
                const double after = std::max(ahead[i - w] + std::max(steps, 1.0) * period - kFloorWander * period,
                                              floor_after - below);
                const std::size_t low = std::max(i - w, found.places.empty() ? 0 : found.places.back());
                const std::size_t place = step_place(t, residual, low, i + w, after);
                // A floor that steps, then not, then again over the same
                // packets steps once: at the place already found.
                if (found.places.empty() || place > found.places.back()) {
                    found.places.push_back(place);
                    // Packets after the place under the floor after it, by less
                    // than its wander, may be ones before it that waited a period.
                    for (std::size_t q = place; q < i + w; ++q) {
                        if (residual[q] < floor_after) {
                            found.lifts.push_back({q, static_cast<std::int64_t>(std::ceil(floor_after - residual[q]))});
                        }
                    }
                }
            }
            stepped = step;
        }
        return found;
    }
    return {};
}

// The runs of packets between places where bytes were passed over (or the
// clock stepped): where each starts, whether the clock stepped there, and the
// bytes passed over just before it.
struct Runs {
    std::vector<std::int64_t> start;
    std::vector<bool> new_epoch;
    std::vector<std::int64_t> bytes;
    std::vector<bool> open;  // packets may be missing just before it
};

// The step of the receive times' floor, in whole periods, of each run
// relative to the first. A floor can only read high, never low: a run that
// does not last long enough may miss it, and so may one whose packets all
// waited in a stalled reader. A long run gives its own measure unless the
// others show it read high: a later long run sits lower, or it would need
// more packets lost before it than the bytes passed over since the run
// before could hold (`allowed`: a lost frame leaves all its bytes but one)
// and the next long run does not sit as high. Where it does, the line lost
// a stretch whole, or the device skipped frames: the packets the bytes
// cannot hold are put at the open place (`open`) with most bytes passed
// over, the silence where none were. The others are held between their
// neighbours' levels and what the places around them can hold, as low as
// their own floor allows and no lower: a loss is placed where the bytes
// were passed over.
std::vector<std::int64_t> run_levels(std::span<const double> floors, std::span<const std::size_t> sizes,
                                     std::span<const std::int64_t> spans, std::span<std::int64_t> allowed,
                                     std::span<const std::int64_t> bytes, const std::vector<bool>& open,
                                     std::size_t first, std::size_t reaching, double period) {
    const std::size_t count = floors.size();
    const auto periods = [&](std::size_t from, std::size_t to) {
        return static_cast<std::int64_t>(std::nearbyint((floors[to] - floors[from]) / period));
    };
    const auto trusted_size = [&](std::size_t j) { return sizes[j] >= reaching && spans[j] >= kTrustedSpanNs; };
    // Packets the places before each run and all before it could hold.
    std::vector<std::int64_t> held(count, 0);
    const auto add_up = [&] {
        for (std::size_t j = 1; j < count; ++j) held[j] = held[j - 1] + allowed[j];
    };
    add_up();
    std::vector<std::int64_t> levels(count, 0);
    std::vector<std::size_t> chain{0};  // the long runs trusted so far
    for (std::size_t j = 1; j < count; ++j) {
        if (!trusted_size(j)) continue;
        while (true) {
            const std::size_t last = chain.back();
            const std::int64_t level = levels[last] + periods(last, j);
            if (level < levels[last] && chain.size() > 1) {
                chain.pop_back();  // the one before read high
                continue;
            }
            std::int64_t excess = level - (levels[last] + held[j] - held[last]);
            if (excess > 0) {
                std::size_t next = j + 1;
                while (next < count && !trusted_size(next)) ++next;
                std::size_t widest = count;
                for (std::size_t r = last + 1; r <= j; ++r) {
                    if (open[first + r] && (widest == count || bytes[r] > bytes[widest])) widest = r;
                }
                if (widest < count && (next == count || levels[last] + periods(last, next) >= level)) {
                    allowed[widest] = std::min(allowed[widest] + excess, kMaxMissing);
                    add_up();
                    excess = 0;
                }
            }
            if (excess <= 0) {
                levels[j] = std::max(level, levels[last]);
                chain.push_back(j);
            }
            break;  // else this one read high
        }
    }
    std::vector<bool> trusted(count, false);
    for (const std::size_t j : chain) trusted[j] = true;
    std::vector<std::size_t> next_trusted(count + 1, count);
    for (std::size_t j = count; j-- > 0;) next_trusted[j] = trusted[j] ? j : next_trusted[j + 1];
    for (std::size_t j = 1, reference = 0; j < count; ++j) {
        if (trusted[j]) {
            reference = j;
            continue;
        }
        const std::size_t next = next_trusted[j];
        const std::int64_t own = levels[reference] + periods(reference, j);
        std::int64_t low = levels[j - 1], high = levels[j - 1] + allowed[j];
        if (next < count) {
            low = std::max(low, levels[next] - (held[next] - held[j]));
            high = std::min(high, levels[next]);
        }
        levels[j] = std::max(std::min(own, high), low);
    }
    return levels;
}

// The packets missing: at the start of each run after the first, as the
// step of the floor of the receive times `t` tells, frames being `length`
// bytes long, a run of `trusted` packets reaching the floor. Where bytes
// were passed over, the line fell silent or the floor stepped, any number
// may be: a stretch the line lost leaves only fragments of its two ends,
// and a device that skipped frames leaves nothing at all. Elsewhere none is.
std::vector<Gap> count_missing(std::span<const std::int64_t> t, std::int64_t length, const Runs& runs,
                               std::span<const Lift> lifts, std::size_t trusted, RunHulls& hulls) {
    const std::size_t n = t.size();
    const std::size_t count = runs.start.size();
    const double period = run_period(t, runs.start, lifts, hulls);
    std::vector<double> floors(count, std::numeric_limits<double>::infinity());
    std::vector<std::int64_t> spans(count), allowed(count, 0);
    const std::vector<std::size_t> sizes = piece_sizes(runs.start, n);
    for (std::size_t r = 0; r < count; ++r) {
        const auto begin = static_cast<std::size_t>(runs.start[r]);
        const std::size_t end = begin + sizes[r];
        floors[r] = least_residual(t, begin, end, period);
        spans[r] = t[end - 1] - t[begin];
        // A lost frame leaves at least all its bytes but one.
        allowed[r] = runs.bytes[r] / std::max<std::int64_t>(length - 1, 1);
    }
    // Each epoch's levels apart: a new epoch's floor is the clock's.
    std::vector<std::int64_t> levels;
    for (std::size_t from = 0; from < count;) {
        std::size_t to = from + 1;
        while (to < count && !runs.new_epoch[to]) ++to;
        const auto part = [&](auto& all) { return std::span(all).subspan(from, to - from); };
        const std::vector<std::int64_t> epoch = run_levels(part(floors), part(sizes), part(spans), part(allowed),
                                                           std::span(runs.bytes).subspan(from, to - from), runs.open,
                                                           from, trusted, period);
        levels.insert(levels.end(), epoch.begin(), epoch.end());
        from = to;
    }
    std::vector<Gap> gaps;
    for (std::size_t r = 1; r < count; ++r) {
        const std::int64_t change = runs.new_epoch[r] ? 0 : levels[r] - levels[r - 1];
        if (change > 0) gaps.push_back({static_cast<std::size_t>(runs.start[r]), change});
    }
    return gaps;
}

// The sum of each of `values` less `base`, as sum_in_order gives it; from
// `whole`, the sum of the values themselves so taken, where both are exact.
double sum_of(std::span<const std::int64_t> values, std::int64_t base = 0, double whole = -1) {
    constexpr std::int64_t kWhole = std::int64_t{1} << 53;
    const std::int64_t last = values.empty() ? 0 : values.back() - base;
    const auto count = static_cast<std::int64_t>(values.size());
    if ((last == 0 || count <= kWhole / last) && whole >= 0 && whole < static_cast<double>(kWhole)) {
        return static_cast<double>(static_cast<std::int64_t>(whole) - count * base);
    }
    return sum_in_order(values, base);
}

// The slope of each piece's lower-envelope line through the points (index
// of the packet counting those missing at `gaps`, receive time `t`), and
// each packet's receive time on it, rounded down, written over `t` (its own
// where the line was lifted over it). A piece
// of one packet has the mean slope of the others, and the packet's own time.
// Where a piece follows another in the same epoch the two lines meet: each
// is bent down towards the lower of the two where the next piece starts, so
// the times go on evenly across the cut and stay below every receive time.
// With the hulls of the runs that start at `runs` (the gaps all at their
// starts), a piece's hull is made of its whole runs' hulls and the points of
// the runs it cuts. `guided`, where not empty: per piece the commonest
// kind's slope over its receive times (NaN where none), which the piece
// takes, times the ratio of the rates, where its own strays from it.
std::vector<double> fit_pieces(std::span<const Gap> gaps, std::span<std::int64_t> t,
                               std::span<const std::int64_t> starts, std::span<const std::int64_t> epochs,
                               std::span<const std::int64_t> runs, const RunHulls& run_hulls,
                               std::span<const Lift> lifts, bool usb, std::span<const double> guided = {}) {
    const std::size_t count = starts.size();
    const std::vector<std::size_t> sizes = piece_sizes(starts, t.size());
    std::vector<EnvelopeLine> lines(count);
    std::vector<std::int64_t> first_index(count + 1), first_time(count);
    std::vector<std::int64_t> k;  // the piece's packets' indices: room for one piece, not for all
    const auto indices = [&](std::size_t p, auto& gap, std::int64_t& index) {
        const auto begin = static_cast<std::size_t>(starts[p]);
        const std::size_t size = sizes[p];
        k.resize(size);
        std::int64_t at = index;
        for (std::size_t i = 0; i < size;) {
            // Up to the next gap in the piece, one index after the other.
            const bool gap_in = gap != gaps.end() && gap->at < begin + size;
            const std::size_t stop = gap_in ? std::max(gap->at - begin, i) : size;
            for (; i < stop; ++i) k[i] = ++at;
            if (gap_in) at += (gap++)->missing;
        }
        index = at;
    };
    auto gap = gaps.begin();
    std::int64_t index = -1;
    std::vector<std::vector<HullPoint>> hulls(count);
    std::vector<HullPoint> hull;  // room for a piece's
    std::vector<double> index_sums(count, 0.0);
    const bool with_runs = !runs.empty() && run_hulls.first.size() == runs.size() + 1;
    std::vector<HullPoint> points;  // those of a piece that may be vertices of its hull
    std::size_t run = 0;
    for (std::size_t p = 0; p < count; ++p) {
        indices(p, gap, index);
        index_sums[p] = sum_of(k);
        const auto begin = static_cast<std::size_t>(starts[p]);
        const std::size_t end = begin + sizes[p];
        points.clear();
        const double sum_x = sum_of(k, k.front(), index_sums[p]);
        bool on_points = with_runs;  // the line rests on `points`, not on the receive times
        if (!with_runs) {
            lines[p] = fit_lower_envelope(k, t.subspan(begin, sizes[p]), hull);
        } else {
            while (run + 1 < runs.size() && static_cast<std::size_t>(runs[run + 1]) <= begin) ++run;
            for (std::size_t r = run; r < runs.size() && static_cast<std::size_t>(runs[r]) < end; ++r) {
                const auto from = static_cast<std::size_t>(runs[r]);
                const std::size_t to = r + 1 < runs.size() ? static_cast<std::size_t>(runs[r + 1]) : t.size();
                if (from >= begin && to <= end) {
                    // Within a run the index goes up by one a packet.
                    const std::int64_t shift = k[from - begin] - static_cast<std::int64_t>(from);
                    for (std::size_t v = run_hulls.first[r]; v < run_hulls.first[r + 1]; ++v) {
                        points.push_back({run_hulls.vertices[v].x + shift, run_hulls.vertices[v].y});
                    }
                } else {
                    auto lift = std::lower_bound(lifts.begin(), lifts.end(), std::max(from, begin),
                                                 [](const Lift& l, std::size_t i) { return l.at < i; });
                    for (std::size_t i = std::max(from, begin); i < std::min(to, end); ++i) {
                        points.push_back({k[i - begin], lifted(t, i, lift, lifts.end())});
                    }
                }
            }
            lines[p] = lower_envelope_of(points, sizes[p], sum_x, hull);
        }
        // Times on the USB frames reach their floor only where the phase
        // wraps: there a point alone under the rest is the one that tells it.
        const double mean_x = static_cast<double>(k.front()) + sum_x / static_cast<double>(sizes[p]);
        if (!usb && may_rest_on_lone_point(hull, mean_x)) {
            points.clear();
            auto lift = std::lower_bound(lifts.begin(), lifts.end(), begin,
                                         [](const Lift& l, std::size_t i) { return l.at < i; });
            for (std::size_t i = begin; i < end; ++i) points.push_back({k[i - begin], lifted(t, i, lift, lifts.end())});
            if (lift_lone_points(points, hull, mean_x)) {
                lines[p] = lower_envelope_of(points, sizes[p], sum_x, hull);
                on_points = true;
            }
        }
        // The line from the piece's first packet as the line took it.
        if (on_points && !std::isnan(lines[p].slope)) {
            lines[p].at_start += static_cast<double>(points.front().y - t[begin]);
        }
        hulls[p] = hull;

        first_index[p] = k.front();
        first_time[p] = t[static_cast<std::size_t>(starts[p])];
    }
    first_index[count] = index + 1;
    // Each piece's slope from its own and its neighbours' in the epoch: a
    // piece's slope alone wanders with the few packets that reach its floor,
    // that of the three around it spans the piece's own rate where it is (a
    // rate that moves evenly gives the same slope either way). The first and
    // last of an epoch keep their own, as the two around them would give the
    // rate where they end, unless the epoch holds only the two. The piece's
    // line then lies under its own packets, touching the lowest.
    const auto joined = [&](std::size_t p) {
        return p > 0 && p < count && !std::binary_search(epochs.begin(), epochs.end(), starts[p]);
    };
    // The line of slope `slope` under piece p's packets, touching the lowest.
    const auto under = [&](std::size_t p, double slope) {
        double lowest = std::numeric_limits<double>::infinity();
        for (const HullPoint& v : hulls[p]) {
            lowest = std::min(lowest, static_cast<double>(v.y - first_time[p]) -
                                          slope * static_cast<double>(v.x - first_index[p]));
        }
        return EnvelopeLine{slope, lowest};
    };
    std::vector<HullPoint> around;
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t from = joined(p) ? p - 1 : p;
        const std::size_t to = joined(p + 1) ? p + 1 : p;
        if (to - from == 1 && (joined(from) || joined(to + 1))) continue;  // an end of a longer epoch
        if (from == to || std::isnan(lines[p].slope)) continue;
        around.clear();
        double sum = 0;
        std::size_t packets = 0;
        for (std::size_t q = from; q <= to; ++q) {
            around.insert(around.end(), hulls[q].begin(), hulls[q].end());
            sum += index_sums[q];
            packets += sizes[q];
        }
        const double slope = hull_slope(around, sum / static_cast<double>(packets));
        if (!std::isfinite(slope)) continue;
        lines[p] = under(p, slope);
    }
    if (!guided.empty()) {
        // The whole ratio of the two kinds' periods, from the pieces both
        // measure.
        std::vector<double> own, theirs;
        std::vector<std::size_t> weights;
        for (std::size_t p = 0; p < count; ++p) {
            if (std::isnan(lines[p].slope) || !std::isfinite(guided[p]) || guided[p] <= 0) continue;
            own.push_back(lines[p].slope);
            theirs.push_back(guided[p]);
            weights.push_back(sizes[p]);
        }
        const double mine = own.empty() ? 0.0 : weighted_mean(own, weights);
        const double guide = own.empty() ? 0.0 : weighted_mean(theirs, weights);
        const double ratio = guide > 0 ? std::nearbyint(mine / guide) : 0.0;
        if (ratio >= 1 && std::abs(mine / (ratio * guide) - 1) <= kRatioShare) {
            for (std::size_t p = 0; p < count; ++p) {
                const double slope = ratio * guided[p];
                if (std::isnan(lines[p].slope) || !std::isfinite(slope) || slope <= 0) continue;
                if (std::abs(lines[p].slope - slope) > kSlopeStray * slope) lines[p] = under(p, slope);
            }
        }
    }
    // How far each piece's line is lowered where it starts and where the next starts.
    std::vector<double> lower_start(count, 0.0), lower_end(count, 0.0);
    for (std::size_t p = 0; p + 1 < count; ++p) {
        if (std::isnan(lines[p].slope) || std::isnan(lines[p + 1].slope) ||
            std::binary_search(epochs.begin(), epochs.end(), starts[p + 1])) {
            continue;
        }
        const double above = static_cast<double>(first_time[p] - first_time[p + 1]) + lines[p].at_start +
                             lines[p].slope * static_cast<double>(first_index[p + 1] - first_index[p]) -
                             lines[p + 1].at_start;
        lower_end[p] = std::min(-above, 0.0);
        lower_start[p + 1] = std::min(above, 0.0);
    }
    std::vector<double> slopes(count);
    gap = gaps.begin();
    index = -1;
    for (std::size_t p = 0; p < count; ++p) {
        indices(p, gap, index);
        const EnvelopeLine& line = lines[p];
        const double slope = std::isnan(line.slope) ? 0.0 : line.slope;
        const double span = static_cast<double>(first_index[p + 1] - first_index[p]);
        const std::span<std::int64_t> piece = t.subspan(static_cast<std::size_t>(starts[p]), sizes[p]);
        for (std::size_t i = 0; i < sizes[p]; ++i) {
            const double x = static_cast<double>(k[i] - first_index[p]);
            const double on_line = line.at_start + slope * x + lower_start[p] +
                                   (lower_end[p] - lower_start[p]) * (x / span);
            // Never after the receive time: a packet the line was lifted
            // over keeps its own.
            piece[i] = std::min(piece[i], first_time[p] + static_cast<std::int64_t>(std::floor(on_line)));
        }
        slopes[p] = line.slope;
    }
    std::vector<double> good;
    std::vector<std::size_t> good_sizes;
    for (std::size_t p = 0; p < slopes.size(); ++p) {
        if (!std::isnan(slopes[p])) {
            good.push_back(slopes[p]);
            good_sizes.push_back(sizes[p]);
        }
    }
    if (good.size() < slopes.size()) {
        const double mean = good.empty() ? 0.0 : weighted_mean(good, good_sizes);
        for (double& s : slopes) {
            if (std::isnan(s)) s = mean;
        }
    }
    return slopes;
}

// The packets missing just before the packet at `at` of its kind.
std::int64_t missing_at(std::span<const Gap> gaps, std::size_t at) {
    const auto gap = std::lower_bound(gaps.begin(), gaps.end(), at, [](const Gap& g, std::size_t a) { return g.at < a; });
    return gap != gaps.end() && gap->at == at ? gap->missing : 0;
}

// The pieces fitted apart: each epoch cut into as few equal stretches of
// the receive times `t` as keep each within `piece` ns, so that no piece is
// much shorter than the others.
std::vector<std::int64_t> piece_starts(std::span<const std::int64_t> epochs, std::span<const std::int64_t> t,
                                       std::int64_t piece) {
    std::vector<std::int64_t> starts;
    for (std::size_t e = 0, from = 0; e <= epochs.size() && from < t.size(); ++e) {
        const std::size_t to = e < epochs.size() ? static_cast<std::size_t>(epochs[e]) : t.size();
        starts.push_back(static_cast<std::int64_t>(from));
        const std::int64_t span = t[to - 1] - t[from];
        const std::int64_t count = (span + piece - 1) / piece;
        for (std::int64_t k = 1; k < count; ++k) {
            const std::int64_t cut = t[from] + span / count * k;
            const auto at = std::upper_bound(t.begin() + static_cast<std::ptrdiff_t>(from),
                                             t.begin() + static_cast<std::ptrdiff_t>(to), cut - 1) - t.begin();
            if (at > starts.back() && static_cast<std::size_t>(at) < to) starts.push_back(at);
        }
        from = to;
    }
    return starts;
}

// After a clock step the sample times go on from where they were: each
// epoch is moved to continue the line of the piece before it. The packet
// before a step has been moved with every epoch before it, as has the one
// after, so each move follows from the fitted times alone.
void continue_epochs(std::span<const std::int64_t> epochs, std::span<const std::int64_t> starts,
                     std::span<const double> slopes, std::span<const Gap> gaps, std::span<std::int64_t> sample) {
    std::vector<std::int64_t> shifts;
    for (const std::int64_t step : epochs) {
        const auto s = static_cast<std::size_t>(step);
        const auto before = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), step - 1) -
                                                     starts.begin() - 1);
        const double advance = std::nearbyint(slopes[before] * static_cast<double>(1 + missing_at(gaps, s)));
        shifts.push_back(sample[s - 1] + static_cast<std::int64_t>(advance) - sample[s]);
    }
    std::int64_t shift = 0;
    for (std::size_t e = 0; e < epochs.size(); ++e) {
        shift += shifts[e];
        const auto end = e + 1 < epochs.size() ? static_cast<std::size_t>(epochs[e + 1]) : sample.size();
        for (auto i = static_cast<std::size_t>(epochs[e]); i < end; ++i) sample[i] += shift;
    }
}

// The receive time between two wraps of the sample phase on the USB frames,
// for packets `period` ns apart: the phase moves by the period's distance
// from whole frames at each packet. Infinite where it never moves.
double usb_wrap(double period) {
    const double frame = static_cast<double>(kUsbFrameNs);
    const double shift = std::abs(period - std::nearbyint(period / frame) * frame);
    return shift > 0 ? frame / shift * period : std::numeric_limits<double>::infinity();
}

// The receive time a piece on the USB frames spans to hold enough wraps.
std::int64_t usb_piece(double period) {
    return static_cast<std::int64_t>(std::clamp(kUsbPieceWraps * usb_wrap(period), static_cast<double>(kUsbPieceNs),
                                                kLongestUsbPieceNs));
}

// The stream as `sample_times` takes it, the fitted kind's code and the
// code of another kind sent from the same crystal at a whole ratio of its
// rate, at least twice as often or as seldom (none: past every code).
struct Neighbour {
    const PacketTimes* packets = nullptr;
    std::uint8_t code = 0;
    std::size_t other = std::numeric_limits<std::size_t>::max();  // none
};

// The commonest of `counts` (packets between two packets of a kind), when
// steady: held by kSteadyShare of them or more; 0 when not.
std::int64_t steady_count(std::span<const std::int64_t> counts) {
    std::vector<std::int64_t> sorted(counts.begin(), counts.end());
    std::sort(sorted.begin(), sorted.end());
    std::int64_t usual = 0;
    std::size_t most = 0;
    for (std::size_t i = 0, j = 0; i < sorted.size(); i = j) {
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        if (j - i > most) {
            most = j - i;
            usual = sorted[i];
        }
    }
    return static_cast<double>(most) >= kSteadyShare * static_cast<double>(sorted.size()) ? usual : 0;
}

// For each packet of the fitted kind, whether the other kind's packets
// around it say frames of the fitted kind may be missing just before it;
// empty when they tell nothing. The two kinds keep a fixed phase, so
// between two packets of the rarer the same count of the commoner's
// arrive, fewer by the commoner's frames the device skipped there; a
// rarer one skipped leaves twice the count or more between its neighbours.
// Per packet of the fitted kind, the other kind's packets before it, and
// all of the other's.
struct Others {
    std::vector<std::int64_t> before;
    std::int64_t count = 0;
};

Others others_of(const Neighbour& by) {
    const PacketTimes& p = *by.packets;
    Others o;
    for (std::size_t i = 0; i < p.kind.size(); ++i) {
        if (p.kind[i] == by.other) ++o.count;
        if (p.kind[i] == by.code) o.before.push_back(o.count);
    }
    return o;
}

std::vector<bool> skips_told(const Others& by) {
    const std::vector<std::int64_t>& before = by.before;
    const std::int64_t others = by.count;
    const std::size_t n = before.size();
    if (n < 3 || others < 3) return {};
    std::vector<bool> told(n, false);
    if (static_cast<std::size_t>(others) > n) {
        // The other is the commoner.
        std::vector<std::int64_t> between(n - 1);
        for (std::size_t i = 1; i < n; ++i) between[i - 1] = before[i] - before[i - 1];
        const std::int64_t usual = steady_count(between);
        if (usual < 2) return {};
        for (std::size_t i = 1; i < n; ++i) told[i] = 2 * between[i - 1] >= 3 * usual;
        return told;
    }
    // The fitted kind is the commoner: its count in each window between two
    // of the other's, the two ends left out.
    std::vector<std::int64_t> count(static_cast<std::size_t>(others) + 1, 0);
    for (const std::int64_t w : before) ++count[static_cast<std::size_t>(w)];
    const std::int64_t usual = steady_count(std::span(count).subspan(1, count.size() - 2));
    if (usual < 2) return {};
    std::vector<bool> lacks(count.size(), false);
    for (std::size_t w = 1; w + 1 < count.size(); ++w) {
        // A window where the other kind's packets are missing spans several.
        const std::int64_t spans = std::max<std::int64_t>((count[w] + usual - 1) / usual, 1);
        lacks[w] = spans * usual > count[w];
    }
    for (std::size_t i = 1; i < n; ++i) {
        for (auto w = before[i - 1]; w <= before[i] && !told[i]; ++w) told[i] = lacks[static_cast<std::size_t>(w)];
    }
    return told;
}

// A window between two of the other kind's packets where the fitted kind
// (the commoner) has fewer than its usual count: its packets `from` to `to`
// there, and how many of its frames the device skipped in it.
struct Lack {
    std::size_t from, to;
    std::int64_t missing;
};

// The windows where the other kind says the fitted kind, the commoner, lacks
// frames: fewer of its packets than usual between two of the other's (a
// window where the other's are missing too spans whole usual counts).
std::vector<Lack> lacks_told(const Others& by) {
    const std::vector<std::int64_t>& before = by.before;
    const std::int64_t others = by.count;
    const std::size_t n = before.size();
    if (n < 3 || others < 3 || static_cast<std::size_t>(others) >= n) return {};
    std::vector<std::int64_t> count(static_cast<std::size_t>(others) + 1, 0);
    for (const std::int64_t w : before) ++count[static_cast<std::size_t>(w)];
    const std::int64_t usual = steady_count(std::span(count).subspan(1, count.size() - 2));
    if (usual < 2) return {};
    std::vector<Lack> out;
    for (std::size_t i = 0, j = 0; i < n; i = j) {
        while (j < n && before[j] == before[i]) ++j;
        const auto w = static_cast<std::size_t>(before[i]);
        if (w == 0 || w + 1 >= count.size()) continue;  // the ends are no whole windows
        const std::int64_t spans = (count[w] + usual - 1) / usual;
        if (spans * usual > count[w]) out.push_back({i, j, spans * usual - count[w]});
    }
    return out;
}

// The floor's steps `steps` (each the first packet after it) moved to where
// the other kind says frames were skipped (`told`). A step's packets of the
// read it starts, and of the read after it, may as well be before it as
// after (a read that waited a period longer than usual looks like one after
// a skipped frame); where the other kind says nothing is missing at the
// step's place, it goes to the first place up to the end of the read after
// that it says may miss frames. A step where bytes were passed over
// (`losses`) stays. `t` the receive times; packets of one read share one.
void place_by_neighbour(std::span<std::size_t> steps, std::span<const std::int64_t> t, std::span<const Loss> losses,
                        const std::vector<bool>& told) {
    const std::size_t n = t.size();
    if (told.size() != n) return;
    const auto read_end = [&](std::size_t i) {
        while (i + 1 < n && t[i + 1] == t[i]) ++i;
        return i + 1;
    };
    for (std::size_t s = 0; s < steps.size(); ++s) {
        const std::size_t at = steps[s];
        const auto loss =
            std::lower_bound(losses.begin(), losses.end(), at, [](const Loss& l, std::size_t a) { return l.at < a; });
        const bool lost = loss != losses.end() && loss->at == at;
        if (at == 0 || at >= n || lost || told[at]) continue;
        const std::size_t next = s + 1 < steps.size() ? steps[s + 1] : n;
        const std::size_t last = std::min({read_end(read_end(at)), next - 1, n - 1});
        for (std::size_t i = at + 1; i <= last; ++i) {
            if (told[i]) {
                steps[s] = i;
                break;
            }
        }
    }
}

// The frames the device skipped in the windows `lacks`, within the epochs
// `silent` (from, to), placed after the last packet of the window that no
// packet after a skip could be: one under the floor of the window and the
// one before it less its wander, a period up. A packet that waited a period
// just before the skip may be taken for one after it. Windows where bytes
// were passed over (`losses`) or the line
// fell silent (`silences`) are left to those.
std::vector<Gap> skips_in_lacks(std::span<const std::int64_t> t, std::span<const Loss> losses,
                                std::span<const std::size_t> silences,
                                std::span<const std::pair<std::size_t, std::size_t>> silent,
                                std::span<const Lack> lacks) {
    std::vector<Gap> out;
    std::vector<double> residual;
    auto epoch = silent.begin();
    double period = 0;  // the epoch's, found at its first window
    std::size_t lacked = 0;  // where the window before the last lack ended
    for (const Lack& lack : lacks) {
        const bool after_lack = std::exchange(lacked, lack.to) == lack.from;
        while (epoch != silent.end() && epoch->second <= lack.from) {
            ++epoch;
            period = 0;
        }
        if (epoch == silent.end()) break;
        const auto [from, to] = *epoch;
        // The window, the packet before it and the one after, within the epoch.
        if (lack.from <= from || lack.to >= to) continue;
        const std::size_t low = lack.from, high = lack.to;  // places from low to high
        const auto loss = std::lower_bound(losses.begin(), losses.end(), low,
                                           [](const Loss& l, std::size_t at) { return l.at < at; });
        const auto silence = std::lower_bound(silences.begin(), silences.end(), low);
        if ((loss != losses.end() && loss->at <= high) || (silence != silences.end() && *silence <= high)) continue;
        // The residuals against the epoch's period over this window and the
        // one before, unless that lacked frames too.
        const std::size_t begin = after_lack ? low : low - std::min(low - from, high - low + 1);
        if (period == 0) period = short_period(t.subspan(from, to - from));
        residual.clear();
        for (std::size_t i = begin; i <= high; ++i) {
            residual.push_back(static_cast<double>(t[i] - t[begin]) - period * static_cast<double>(i - begin));
        }
        const double floor = *std::min_element(residual.begin(), residual.end());
        std::size_t place = low;
        for (std::size_t i = low; i <= high; ++i) {
            if (residual[i - begin] < floor + (1 - kFloorWander) * period) place = i + 1;
        }
        // Two windows side by side may put their steps at one packet: one gap.
        if (!out.empty() && out.back().at >= std::min(place, high)) {
            out.back().missing += lack.missing;
        } else {
            out.push_back({std::min(place, high), lack.missing});
        }
    }
    return out;
}

// The gaps `gaps` with those `told` by the other kind: its count where both
// have a place, in order.
std::vector<Gap> with_told(std::span<const Gap> gaps, std::span<const Gap> told) {
    std::vector<Gap> out;
    std::size_t g = 0;
    for (const Gap& t : told) {
        while (g < gaps.size() && gaps[g].at < t.at) out.push_back(gaps[g++]);
        if (g < gaps.size() && gaps[g].at == t.at) ++g;
        out.push_back(t);
    }
    out.insert(out.end(), gaps.begin() + static_cast<std::ptrdiff_t>(g), gaps.end());
    return out;
}

// Sample times of one kind's packets with receive times `t`, bytes having
// been passed over before them at `losses`, frames being `length` bytes
// long: written over `t`. `steady` when
// the receive times never step (a pause is then a pause, however long).
// `neighbour` the kind whose packets place frames the device skipped.
// `guide`, where not null: the commonest kind's slope, for pieces whose own
// strays (none on the USB frames or across a clock step). `gaps` gets where
// packets are missing, `made` (where not null) this kind's slope, but on the
// USB frames or across a clock step.
KindFit fit_kind(std::span<std::int64_t> t, std::span<const Loss> losses, std::int64_t length, bool steady,
                 const Neighbour& neighbour, const Guide* guide, std::vector<Gap>& gaps, Guide* made) {
    const std::size_t n = t.size();
    KindFit fit;
    fit.packets = n;
    std::vector<std::int64_t> epochs;
    std::vector<std::size_t> silences;  // packets after the line fell silent
    const std::int64_t longest_quiet = steady ? kLongestSilenceNs : kClockJumpNs;
    for (std::size_t i = 1, l = 0; i < n; ++i) {
        const std::int64_t dt = t[i] - t[i - 1];
        if (dt > kSilenceNs) silences.push_back(i);
        if (dt >= 0 && dt <= longest_quiet) continue;
        while (l < losses.size() && losses[l].at < i) ++l;
        const bool lost = l < losses.size() && losses[l].at == i;
        if (dt < 0 || !lost) epochs.push_back(static_cast<std::int64_t>(i));
    }
    const bool usb = on_usb_frames(t);
    // The floor's steps, epoch by epoch.
    std::vector<std::size_t> steps;
    std::vector<Lift> lifts;
    std::size_t trusted = kTrustedPackets;  // a run this long reaches the floor
    // Where the floor tells nothing, or far fewer steps than the other
    // kind's packets tell skips (a converter whose chunks take a new phase
    // now and then), the other kind's packets tell the frames skipped.
    const bool neighboured = neighbour.other != std::numeric_limits<std::size_t>::max();
    const Others others = neighboured ? others_of(neighbour) : Others{};
    const std::vector<Lack> lacks = neighboured ? lacks_told(others) : std::vector<Lack>{};
    std::vector<std::pair<std::size_t, std::size_t>> silent;  // such epochs, not on USB frames
    for (std::size_t e = 0, from = 0; e <= epochs.size(); ++e) {
        const std::size_t to = e < epochs.size() ? static_cast<std::size_t>(epochs[e]) : n;
        const std::span<const std::int64_t> part = t.subspan(from, to - from);
        const bool frames = epochs.empty() ? usb : on_usb_frames(part);
        const FloorSteps found = floor_steps(part, frames);
        const auto lacked = static_cast<std::size_t>(std::count_if(
            lacks.begin(), lacks.end(), [&](const Lack& l) { return from <= l.from && l.from < to; }));
        if (!frames && to > from && (found.stretch == 0 || kFloorTold * found.places.size() < lacked)) {
            silent.emplace_back(from, to);
        } else {
            for (const std::size_t place : found.places) steps.push_back(from + place);
            for (const Lift& lift : found.lifts) lifts.push_back({from + lift.at, lift.by});
            trusted = std::max(trusted, found.stretch);
        }
        from = to;
    }
    if (!steps.empty() && neighboured) place_by_neighbour(steps, t, losses, skips_told(others));
    std::vector<Gap> told;
    if (!silent.empty() && !lacks.empty()) told = skips_in_lacks(t, losses, silences, silent, lacks);
    for (const Gap& g : told) steps.push_back(g.at);
    // The runs below take the places one after the other: a place out of
    // order would hide every step after it.
    std::sort(steps.begin(), steps.end());
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    Runs runs{{0}, {true}, {0}, {false}};
    auto loss = losses.begin();
    auto step = steps.begin();
    auto epoch = epochs.begin();
    auto silence = silences.begin();
    // Only where something happened: bytes passed over, a step of the clock
    // or the floor, a silence.
    for (std::size_t i = 0;;) {
        std::size_t next = n;
        if (loss != losses.end()) next = std::min(next, loss->at);
        if (epoch != epochs.end()) next = std::min(next, static_cast<std::size_t>(*epoch));
        if (step != steps.end() && *step > i) next = std::min(next, *step);
        if (silence != silences.end()) next = std::min(next, *silence);
        if (next >= n) break;
        i = next;
        if (silence != silences.end() && *silence == i) ++silence;
        const std::int64_t bytes = loss != losses.end() && loss->at == i ? (loss++)->bytes : 0;
        const bool stepped = epoch != epochs.end() && static_cast<std::size_t>(*epoch) == i;
        if (stepped) ++epoch;
        const bool floor_step = step != steps.end() && *step == i;
        if (floor_step) ++step;
        const bool open = !stepped && (bytes > 0 || t[i] - t[i - 1] > kSilenceNs || floor_step);
        if (stepped || open) {
            runs.start.push_back(static_cast<std::int64_t>(i));
            runs.new_epoch.push_back(stepped);
            runs.bytes.push_back(bytes);
            runs.open.push_back(open);
        }
    }
    fit.clock_steps = epochs.size();
    RunHulls run_hulls;
    std::sort(lifts.begin(), lifts.end(), [](const Lift& a, const Lift& b) { return a.at < b.at; });
    if (runs.start.size() > 1) gaps = count_missing(t, length, runs, lifts, trusted, run_hulls);
    if (!told.empty()) gaps = with_told(gaps, told);
    for (const Gap& gap : gaps) {
        ++fit.gaps;
        fit.missing += static_cast<std::uint64_t>(gap.missing);
        fit.largest_gap = std::max(fit.largest_gap, static_cast<std::uint64_t>(gap.missing));
    }
    const std::vector<std::int64_t> received = usb ? std::vector<std::int64_t>(t.begin(), t.end())
                                                   : std::vector<std::int64_t>{};
    // The guide's slope over each piece's receive times, before they are
    // written over.
    const auto guided = [&](std::span<const std::int64_t> starts) {
        std::vector<double> out;
        if (guide == nullptr || guide->begin.empty() || usb || !epochs.empty()) return out;
        for (std::size_t p = 0; p < starts.size(); ++p) {
            const std::int64_t to = p + 1 < starts.size() ? t[static_cast<std::size_t>(starts[p + 1])] : t.back();
            out.push_back(guide->over(t[static_cast<std::size_t>(starts[p])], to));
        }
        return out;
    };
    std::vector<std::int64_t> starts = piece_starts(epochs, t, usb ? kUsbPieceNs : kPieceNs);
    // Receive times that go back at a clock step may meet the other kind's
    // of another epoch: the slopes are matched within one only.
    const bool guides = made != nullptr && !usb && epochs.empty();
    if (guides) {
        made->end = t.back();
        for (const std::int64_t s : starts) made->begin.push_back(t[static_cast<std::size_t>(s)]);
    }
    std::vector<double> slopes = fit_pieces(gaps, t, starts, epochs, runs.start, run_hulls, lifts, usb, guided(starts));
    if (guides) made->slope = slopes;
    const std::int64_t wrapping = usb ? usb_piece(weighted_mean(slopes, piece_sizes(starts, n))) : kUsbPieceNs;
    if (wrapping > kUsbPieceNs) {
        std::copy(received.begin(), received.end(), t.begin());
        starts = piece_starts(epochs, t, wrapping);
        slopes = fit_pieces(gaps, t, starts, epochs, runs.start, run_hulls, lifts, usb);
    }
    continue_epochs(epochs, starts, slopes, gaps, t);
    fit.piece_ns = usb ? std::max(wrapping, kUsbPieceNs) : kPieceNs;
    const double period = weighted_mean(slopes, piece_sizes(starts, n));
    fit.rate = period > 0 ? 1e9 / period : 0;
    if (usb && n > 1) {
        // Two wraps in a piece at least, the recording's first and last
        // packets bounding the longest piece.
        const double longest = std::min(static_cast<double>(std::max(wrapping, kUsbPieceNs)),
                                        static_cast<double>(received.back() - received.front()));
        fit.phase_hidden = !(longest >= 2 * usb_wrap(period));
    }
    return fit;
}

// The sample times `kinds[code]` of the packets of each kind, and the
// packets missing before them at `gaps[code]`, into `sample` and `missing`
// in stream order; a packet of another code keeps its receive time and
// misses nothing. From the last packet back: one kind's times may be the
// start of `sample`, as a packet's place in the stream is never before its
// place among its kind.
void scatter(const PacketTimes& p, std::span<const std::span<std::int64_t>> kinds,
             std::span<const std::vector<Gap>> gaps, std::span<std::int64_t> sample,
             std::span<std::uint16_t> missing) {
    std::vector<std::size_t> j(kinds.size());
    std::vector<std::size_t> gap(kinds.size());  // gaps of each kind not yet placed
    for (std::size_t c = 0; c < kinds.size(); ++c) {
        j[c] = kinds[c].size();
        gap[c] = gaps[c].size();
    }
    // The commonest kind's place kept at hand, the others' in `j`.
    const std::size_t top = commonest(kinds);
    std::size_t top_j = top < kinds.size() ? kinds[top].size() : 0;
    std::size_t top_gap = top < kinds.size() ? gaps[top].size() : 0;
    for (std::size_t i = p.kind.size(); i-- > 0;) {
        const std::uint8_t code = p.kind[i];
        if (code == top) {
            const std::size_t at = --top_j;
            const std::int64_t before =
                top_gap > 0 && gaps[code][top_gap - 1].at == at ? gaps[code][--top_gap].missing : 0;
            sample[i] = kinds[code][at];
            missing[i] = static_cast<std::uint16_t>(std::min(before, kMaxMissing));
            continue;
        }
        if (code >= kinds.size()) {
            sample[i] = p.time[i];
            missing[i] = 0;
            continue;
        }
        const std::size_t at = --j[code];
        std::size_t& g = gap[code];
        const std::int64_t before = g > 0 && gaps[code][g - 1].at == at ? gaps[code][--g].missing : 0;
        sample[i] = kinds[code][at];
        missing[i] = static_cast<std::uint16_t>(std::min(before, kMaxMissing));
    }
}

// Without receive times the packets keep their (estimated) times, and the
// bytes passed over between two packets of a kind hold the frames lost there,
// of every kind. A kind sent at most half as often as the commonest tells its
// own losses by the commonest's packets between two of its own: `ratio` in a
// period, about twice as many when one of its own is missing. What its lost
// frames took is then set apart, and every other kind counts the frames of
// its length that the bytes left would hold.
void estimate(const PacketTimes& p, std::span<const std::size_t> counts, std::span<const std::int64_t> lengths,
              std::span<std::int64_t> sample, std::span<std::uint16_t> missing) {
    for (std::size_t i = 0; i < p.kind.size(); ++i) {
        sample[i] = p.time[i];
        missing[i] = 0;
    }
    std::vector<std::int64_t> left(p.skipped.begin(), p.skipped.end());
    if (std::all_of(left.begin(), left.end(), [](auto b) { return b == 0; })) return;
    const auto top = static_cast<std::size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    std::vector<std::size_t> order(counts.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return counts[a] < counts[b]; });
    for (const std::size_t c : order) {
        if (counts[c] == 0) continue;
        const double ratio = static_cast<double>(counts[top]) / static_cast<double>(counts[c]);
        const bool rare = ratio >= 2;
        const std::int64_t length = std::max<std::int64_t>(lengths[c], 1);
        std::int64_t since = 0, between = 0;
        bool first = true;
        std::size_t previous = 0;
        for (std::size_t i = 0; i < p.kind.size(); ++i) {
            since += left[i];
            if (p.kind[i] == top) ++between;
            if (p.kind[i] != c) continue;
            std::int64_t lost = 0;
            if (first) {
                first = false;
            } else if (!rare) {
                // A lost frame leaves all its bytes but one, noise a few more.
                lost = (since + length / 4) / length;
            } else if (since > 0) {
                lost = std::clamp<std::int64_t>(std::llround(static_cast<double>(between) / ratio) - 1, 0,
                                                since / std::max<std::int64_t>(length - 1, 1));
                // The bytes they took, from the longest stretches passed over.
                for (std::int64_t f = 0; f < lost; ++f) {
                    const auto longest = std::max_element(left.begin() + static_cast<std::ptrdiff_t>(previous) + 1,
                                                          left.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                    *longest -= std::min(*longest, length - 1);
                }
            }
            missing[i] = static_cast<std::uint16_t>(std::min(lost, kMaxMissing));
            since = 0;
            between = 0;
            previous = i;
        }
    }
}

}  // namespace

std::vector<KindFit> sample_times(const PacketTimes& packets, std::size_t kinds, bool received,
                                  std::span<std::int64_t> sample, std::span<std::uint16_t> missing, bool steady) {
    // Packets of each kind, of other codes, and whether bytes were passed over.
    // Four tables, so that a run of one kind does not wait on one counter.
    std::array<std::array<std::size_t, 256>, 4> tables{};
    std::uint32_t skipped = 0;
    for (std::size_t i = 0; i < packets.kind.size(); ++i) {
        ++tables[i % 4][packets.kind[i]];
        skipped |= packets.skipped[i];
    }
    const bool lossy = skipped != 0;
    std::array<std::size_t, 256> all{};
    for (std::size_t c = 0; c < all.size(); ++c) all[c] = tables[0][c] + tables[1][c] + tables[2][c] + tables[3][c];
    std::vector<std::size_t> counts(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kinds));
    const std::size_t others = packets.kind.size() - std::accumulate(counts.begin(), counts.end(), std::size_t{0});
    // The kinds, most packets first: the first is fitted in `sample` itself,
    // the others in a room of their own.
    std::vector<std::size_t> order(kinds);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return counts[a] > counts[b]; });
    std::vector<std::int64_t> time_room;
    std::vector<std::span<std::int64_t>> times(kinds);
    if (received && kinds > 0) {
        time_room.resize(packets.kind.size() - others - counts[order[0]]);
        times[order[0]] = sample.first(counts[order[0]]);
        for (std::size_t o = 1, used = 0; o < kinds; used += counts[order[o++]]) {
            times[order[o]] = std::span(time_room).subspan(used, counts[order[o]]);
        }
    }
    std::vector<std::vector<Loss>> losses(kinds);
    std::vector<std::vector<Gap>> gaps(kinds);
    if (received) gather(packets, times, losses);
    std::vector<KindFit> fits(kinds);
    Guide guide;  // the commonest kind's slope
    std::vector<std::int64_t> lengths(kinds, 0);
    // The kind with most packets among those sent at most half as often or
    // at least twice as often.
    const auto neighbour = [&](std::size_t c) {
        Neighbour by{&packets, static_cast<std::uint8_t>(c)};
        for (std::size_t o = 0; o < kinds; ++o) {
            if (counts[o] < 2 || (2 * counts[o] > counts[c] && counts[o] < 2 * counts[c])) continue;
            if (by.other >= kinds || counts[o] > counts[by.other]) by.other = o;
        }
        return by;
    };
    for (const std::size_t c : order) {
        const auto code = static_cast<std::uint8_t>(c);
        const std::size_t n = counts[c];
        fits[c].packets = n;
        if (n == 0) continue;
        lengths[c] = lossy ? frame_length(packets, code) : 0;
        if (!received) continue;
        const bool first = c == order[0];
        fits[c] = fit_kind(times[c], losses[c], lengths[c], steady, neighbour(c), first ? nullptr : &guide,
                           gaps[c], first ? &guide : nullptr);
    }
    if (received) {
        scatter(packets, times, gaps, sample, missing);
        return fits;
    }
    estimate(packets, counts, lengths, sample, missing);
    for (std::size_t i = 0; others > 0 && i < packets.kind.size(); ++i) {
        if (packets.kind[i] < kinds) continue;
        sample[i] = packets.time[i];
        missing[i] = 0;
    }
    return fits;
}

}  // namespace brimlet::columns
