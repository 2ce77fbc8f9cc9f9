#pragma once
// Finds the frames in the reader's buffer, checks them, decodes the valid
// ones and sends their packets, then drops the bytes it is done with.
//
// Frame: 0x75 0x65, descriptor set, payload length N, N payload bytes, and
// two checksum bytes A, B: for every byte b before them, A += b, then B += A.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "protocol/imu_packet.hpp"
#include "protocol/payload_decoder.hpp"

namespace brimlet {

inline constexpr std::uint8_t kSync1 = 0x75;
inline constexpr std::uint8_t kSync2 = 0x65;
inline constexpr std::size_t kFrameOverhead = 6;
inline constexpr std::size_t kMaxFrame = 261;

// Anything that takes a packet by value and gives it back when nobody can
// receive it any more.
template <class S>
concept PacketSender = requires(S& sender, IMUPacket packet) {
    { sender.send(std::move(packet)) } -> std::same_as<std::expected<void, IMUPacket>>;
};

struct Checksum {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
};

inline Checksum frame_checksum(const std::uint8_t* bytes, std::size_t count) {
    unsigned a = 0, b = 0;
    for (std::size_t k = 0; k < count; ++k) {
        a += bytes[k];
        b += a;
    }
    return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
}

// One pass over `buffer`; what is left is empty or an incomplete frame that
// starts with 0x75. A failed send returns at once and removes nothing.
template <PacketSender S>
void scan_frames(std::vector<std::uint8_t>& buffer, S& sender) {
    const std::size_t length = buffer.size();
    if (length == 0) return;
    const std::uint8_t* data = buffer.data();
    std::size_t i = 0;
    while (i < length) {
        if (data[i] != kSync1) {
            const void* next = std::memchr(data + i + 1, kSync1, length - i - 1);
            i = next ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - data) : length;
            continue;
        }
        if (i + 1 >= length) break;
        if (data[i + 1] != kSync2) {
            ++i;
            continue;
        }
        if (i + 4 > length) break;
        const std::size_t n = data[i + 3];
        if (i + n + kFrameOverhead > length) break;
        const Checksum sum = frame_checksum(data + i, n + 4);
        if (data[i + 4 + n] != sum.a || data[i + 5 + n] != sum.b) {
            ++i;
            continue;
        }
        if (auto packet = decode_payload(data[i + 2], std::span(data + i + 4, n))) {
            if (!sender.send(std::move(*packet))) return;
        }
        i += n + kFrameOverhead;
    }
    if (i == length) {
        buffer.clear();
    } else if (i > 0) {
        std::memmove(buffer.data(), buffer.data() + i, length - i);
        buffer.resize(length - i);
    }
}

}  // namespace brimlet
