#pragma once
// Frame building and a vector-backed packet sender for the core tests.

#include <bit>
#include <cstdint>
#include <span>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame_scanner.hpp"
#include "protocol/imu_packet.hpp"
#include "protocol/packet_text.hpp"

namespace brimlet::test {

using Bytes = std::vector<std::uint8_t>;

// A wait that must end is held to ten times what it takes on a quiet machine:
// a loaded machine stays within that, and a wait that does not end as it
// should still fails it.
inline constexpr int kWaitMargin = 10;

using Floats = std::vector<float>;

inline std::size_t field_index(std::string_view name) {
    for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
        if (schema::kFields[i].name == name) return i;
    }
    throw std::invalid_argument(std::string(name));
}

// The values of the named field, nothing when the packet does not carry it.
inline std::optional<Floats> value(const IMUPacket& p, std::string_view name) {
    const std::size_t i = field_index(name);
    if (!p.has(i)) return std::nullopt;
    const auto values = p.field_values(i);
    return Floats(values.begin(), values.end());
}

inline void set_value(IMUPacket& p, std::string_view name, std::initializer_list<float> values) {
    const std::size_t i = field_index(name);
    std::copy(values.begin(), values.end(), p.field_values(i).begin());
    p.present = static_cast<std::uint16_t>(p.present | (1u << i));
}

inline std::string_view kind_name(const IMUPacket& p) { return schema::kKindNames[static_cast<std::size_t>(p.kind)]; }

inline Bytes frame(std::uint8_t set, const Bytes& payload) {
    Bytes f{kSync1, kSync2, set, static_cast<std::uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    const Checksum sum = frame_checksum(f.data(), f.size());
    f.push_back(sum.a);
    f.push_back(sum.b);
    return f;
}

inline void append_f32(Bytes& out, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// A field of `descriptor` holding `values`, with a valid-flags word when
// `flags` is given (estimated set).
inline Bytes field(std::uint8_t descriptor, std::initializer_list<float> values, int flags = -1) {
    Bytes f{0, descriptor};  // the length byte counts itself and the descriptor
    for (float v : values) append_f32(f, v);
    if (flags >= 0) {
        f.push_back(static_cast<std::uint8_t>(flags >> 8));
        f.push_back(static_cast<std::uint8_t>(flags));
    }
    f[0] = static_cast<std::uint8_t>(f.size());
    return f;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct VectorSender {
    std::vector<IMUPacket> packets;
    bool closed = false;
    bool send_all(std::span<const IMUPacket> batch) {
        if (closed) return false;
        packets.insert(packets.end(), batch.begin(), batch.end());
        return true;
    }
};

}  // namespace brimlet::test
