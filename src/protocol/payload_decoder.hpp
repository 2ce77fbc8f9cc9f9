#pragma once
// Turns the payload of a valid frame into packet data, stamped with the host's
// wall clock at the moment of decoding.

#include <cstdint>
#include <optional>
#include <span>

#include "protocol/decoded_payload.hpp"
#include "protocol/imu_packet.hpp"

namespace brimlet {

inline constexpr std::uint8_t kRawSet = 0x80;
inline constexpr std::uint8_t kEstimatedSet = 0x82;

// Nanoseconds since the Unix epoch from the real-time clock (0 before 1970).
Timestamp wall_clock_ns();

// Nothing for a descriptor set other than 0x80 and 0x82; never fails otherwise.
std::optional<DecodedPayload> decode_payload(std::uint8_t descriptor_set,
                                             std::span<const std::uint8_t> payload);

IMUPacket build_packet(DecodedPayload&& decoded);

}  // namespace brimlet
