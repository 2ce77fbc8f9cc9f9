#pragma once
// The times at which the device sampled a recording's packets, recovered per
// kind from their receive times and from the bytes the decoder passed over.
// Plain C++.
//
// The device samples each kind at a fixed rate from its own crystal and
// sends no clock. A packet arrives some time after it was sampled, never
// before, so per kind the points (packet index, receive time) lie on or above
// the line of the sample times: their lower envelope (lower_envelope.hpp).
// The packet index counts the packets that never arrived. A gap is looked
// for where bytes were passed over or the line fell silent; its size is the
// step of the floor of the receive times, in whole periods, between runs of
// packets without loss. A clock that stepped (a receive time earlier than
// the one before, or, without a clock that never steps, a jump of over a
// second with nothing lost) starts a new epoch, fitted anew and moved to go
// on from where the one before ended. Long stretches are fitted in pieces of
// at most 30 s (on the USB frames, long enough to hold the sample phase's
// wraps), each sloped as it and its neighbours together are, joined without
// a jump, so a warming crystal does not bend the line. A rarer kind sent from
// the same crystal at a whole ratio of the commonest kind's rate reaches its
// floor more seldom: where its own slope strays from the commonest's times
// the ratio, it takes that one.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brimlet::columns {

// The wall clock stepped where it moved this much or more from the boot clock
// between two reads. Without the boot clock, a receive time more than this
// after the one before, with nothing lost between, is taken for a clock step
// rather than a pause of the line.
inline constexpr std::int64_t kClockJumpNs = 1'000'000'000;

// What a recording's decoder gives per packet, in stream order; all four the
// same length.
struct PacketTimes {
    std::span<const std::uint8_t> kind;      // kind code
    std::span<const std::int64_t> time;      // receive time, ns
    std::span<const std::uint32_t> skipped;  // bytes passed over just before its frame
    std::span<const std::uint64_t> end;      // offset of the byte after its frame
};

// What the fit found for one kind of packet.
struct KindFit {
    std::uint64_t packets = 0;
    double rate = 0;  // fitted packets per second on the host's clock; 0 when not measured
    std::uint64_t gaps = 0;  // places where packets are missing
    std::uint64_t missing = 0;  // packets missing in all
    std::uint64_t largest_gap = 0;
    std::uint64_t clock_steps = 0;
    // The receive times keep to the USB frames and the sample phase wraps
    // too seldom in a piece for the fit to find it: the times may be off by
    // up to a frame.
    bool phase_hidden = false;
    // The receive time the fit's pieces of this kind span at most (0 when
    // not fitted): a window no longer than this is fitted as one line.
    std::int64_t piece_ns = 0;
};

// Fills `sample` (ns) and `missing` (packets of the same kind missing just
// before each, at most 0xFFFF) for every packet, both as long as `packets`;
// one KindFit per kind code below `kinds`. With `received` the sample times
// are fitted to the receive times; without, the receive times are an
// estimated axis, kept as the sample times, and only the bytes passed over
// count missing packets. A packet of another code keeps its time and misses
// nothing. `steady` when the receive times come from a clock that never
// steps: a silence is then a pause of the line or the device, however long,
// never a clock step. Throws std::bad_alloc.
std::vector<KindFit> sample_times(const PacketTimes& packets, std::size_t kinds, bool received,
                                  std::span<std::int64_t> sample, std::span<std::uint16_t> missing,
                                  bool steady = false);

}  // namespace brimlet::columns
