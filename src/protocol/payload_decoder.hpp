#pragma once
// Turns the payload of a valid frame into a packet record, stamped with the
// host's wall clock at the moment of decoding.

#include <cstdint>
#include <optional>
#include <span>

#include "protocol/imu_packet.hpp"

namespace brimlet {

inline constexpr std::uint8_t kRawSet = schema::kDescriptorSets[0];
inline constexpr std::uint8_t kEstimatedSet = schema::kDescriptorSets[1];

// Nanoseconds since the Unix epoch from the real-time clock (0 before 1970).
Timestamp wall_clock_ns();

// Nanoseconds of the boot clock (CLOCK_BOOTTIME): it never steps, so beside
// the wall clock it tells a step of the wall clock from a silence.
std::int64_t boot_clock_ns();

// Fills `out` from the payload of a frame of `descriptor_set`, stamped with
// `stamp`: the fields the schema knows for that set (a field whose length byte
// does not match is passed over), later copies of a field replacing earlier
// ones, and the validity codes of flagged fields in payload order. The walk
// ends at the first field that does not fit. False, `out` untouched, for a
// descriptor set the schema does not have.
bool decode_payload_into(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload, Timestamp stamp,
                         IMUPacket& out);

// The same, stamped with the wall clock read before anything else.
std::optional<IMUPacket> decode_payload(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload);

}  // namespace brimlet
