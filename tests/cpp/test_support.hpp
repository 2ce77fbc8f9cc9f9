#pragma once
// Frame building and a vector-backed packet sender for the core tests.

#include <bit>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <vector>

#include "protocol/frame_scanner.hpp"
#include "protocol/imu_packet.hpp"

namespace brimlet::test {

using Bytes = std::vector<std::uint8_t>;

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
    Bytes data;
    for (float v : values) append_f32(data, v);
    if (flags >= 0) {
        data.push_back(static_cast<std::uint8_t>(flags >> 8));
        data.push_back(static_cast<std::uint8_t>(flags));
    }
    Bytes f{static_cast<std::uint8_t>(data.size() + 2), descriptor};
    f.insert(f.end(), data.begin(), data.end());
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
    std::expected<void, IMUPacket> send(IMUPacket&& packet) {
        if (closed) return std::unexpected(std::move(packet));
        packets.push_back(std::move(packet));
        return {};
    }
};

}  // namespace brimlet::test
