#pragma once
// The record of one decoded packet: built on the reader thread, moved through
// the packet channel, wrapped in a Python object on the caller's thread.
// It holds no references to anything, so it can cross threads by value.
//
// Compact and flat (it is copied at the device's data rate): the kind and the
// names of the fields flagged not valid are small codes that become text only
// when asked for, the values of the fields it carries lie in one array, and a
// mask says which fields are present. The layout follows the schema.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/packet_schema.hpp"

namespace brimlet {

using Timestamp = unsigned __int128;  // nanoseconds since the Unix epoch
using schema::PacketKind;

struct IMUPacket {
    // Nanoseconds since the epoch, split: the high part is 0 until the year
    // 2554, and holds the rest of any clock reading.
    std::uint64_t time_low = 0;
    std::uint32_t time_high = 0;
    PacketKind kind = PacketKind::raw;
    std::uint8_t flagged = 0;  // codes in `invalid`
    std::uint16_t present = 0;  // bit i: schema field i was carried
    std::array<float, schema::kMaxValues> values{};
    // Validity codes of the fields flagged not valid, in payload order, two
    // to a byte (low half first).
    std::array<std::uint8_t, (schema::kMaxFlagged + 1) / 2> invalid{};
    // Bytes outside valid frames between the packet frame before (or the
    // start) and this one, where the scan keeps count of what it passes
    // over (a live source, a decode); 0 elsewhere. At most 2^32 - 1.
    std::uint32_t skipped = 0;
    // The boot clock (ns), read with the wall clock after the read that
    // brought the frame, where the reader keeps it (a live source); 0 elsewhere.
    std::int64_t boot = 0;

    Timestamp timestamp() const { return (Timestamp{time_high} << 64) | time_low; }
    void set_timestamp(Timestamp t) {
        time_low = static_cast<std::uint64_t>(t);
        time_high = static_cast<std::uint32_t>(t >> 64);
    }

    bool has(std::size_t field) const { return (present >> field) & 1u; }
    // The values of schema field `field`; meaningful when has(field).
    std::span<const float> field_values(std::size_t field) const {
        return {values.data() + schema::kSlot[field], schema::kFields[field].width};
    }
    std::span<float> field_values(std::size_t field) {
        return {values.data() + schema::kSlot[field], schema::kFields[field].width};
    }

    std::uint8_t invalid_code(std::size_t k) const { return (invalid[k / 2] >> (4 * (k % 2))) & 0x0F; }
    // Appends a validity code; false when the record is full (never for a
    // payload that fits a frame).
    bool add_invalid(std::uint8_t code) {
        if (flagged >= schema::kMaxFlagged) return false;
        invalid[flagged / 2] |= static_cast<std::uint8_t>(code << (4 * (flagged % 2)));
        ++flagged;
        return true;
    }
};

static_assert(sizeof(IMUPacket) <= 128);

}  // namespace brimlet
