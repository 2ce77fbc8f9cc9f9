#pragma once
// The one-line text form of a packet, as str() shows it.

#include <optional>
#include <string>

#include "protocol/float_text.hpp"
#include "protocol/imu_packet.hpp"

namespace brimlet {

// "IMUPacket { packet_type: \"raw\", timestamp: 1, ... }": every field, in
// property order, absent ones as None.
std::string debug_listing(const IMUPacket& packet);

// The names of the fields flagged not valid, in payload order, joined with
// ","; nothing when none was flagged.
std::optional<std::string> invalid_fields_text(const IMUPacket& packet);

// The listing rewritten into call shape: "IMUPacket(packet_type=\"raw\", ... )".
std::string packet_text(const IMUPacket& packet);

// An unsigned 128-bit integer in decimal digits.
std::string format_u128(Timestamp value);

}  // namespace brimlet
