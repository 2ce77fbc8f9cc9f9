#pragma once
// Finds the frames in the reader's buffer, checks them, decodes the valid
// ones and sends their packets in batches, then drops the bytes it is done
// with.
//
// Frame: 0x75 0x65, descriptor set, payload length N, N payload bytes, and
// two checksum bytes A, B: for every byte b before them, A += b, then B += A.

#include <cstddef>
#include <memory>
#include <concepts>
#include <cstdint>
#include <cstring>
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

// Anything that takes a batch of packets in order, and refuses it (taking
// none) when nobody can receive them any more.
template <class S>
concept PacketSender = requires(S& sender, std::span<const IMUPacket> packets) {
    { sender.send_all(packets) } -> std::same_as<bool>;
};

struct Checksum {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
};

// A is the sum of the bytes and B the sum of the running sums, both modulo
// 256. Byte k of n counts n - k times in B, so B = n * A - C with C the sum
// of k times byte k: two plain sums, taken 8 bytes at a time in 16-bit
// lanes (only the low 8 bits matter, so lanes that wrap are wide enough).
inline Checksum frame_checksum(const std::uint8_t* bytes, std::size_t count) {
    using Bytes8 = std::uint8_t __attribute__((vector_size(8)));
    using Lanes8 = std::uint16_t __attribute__((vector_size(16)));
    Lanes8 sums{}, weighted{};
    Lanes8 index{0, 1, 2, 3, 4, 5, 6, 7};
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        Bytes8 chunk;
        std::memcpy(&chunk, bytes + k, sizeof chunk);
        const Lanes8 wide = __builtin_convertvector(chunk, Lanes8);
        sums += wide;
        weighted += wide * index;
        index += 8;
    }
    std::uint32_t a = 0, c = 0;
    for (unsigned j = 0; j < 8; ++j) {
        a += sums[j];
        c += weighted[j];
    }
    for (; k < count; ++k) {
        a += bytes[k];
        c += static_cast<std::uint32_t>(k) * bytes[k];
    }
    const auto b = static_cast<std::uint32_t>(count) * a - c;
    return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
}

// A sender that also keeps count of what the scanner passes over: bytes
// outside valid frames, failed checksums, valid frames that are not packets,
// and each packet frame as it is found (before its batch is sent), by where
// it ends in the buffer; for that it gives the bytes outside frames since the
// packet frame before, which the packet keeps.
template <class S>
concept ScanTally = requires(S& tally, std::size_t bytes) {
    tally.outside(bytes);
    tally.bad_checksum();
    tally.other_frame();
    { tally.packet_frame(bytes) } -> std::convertible_to<std::uint32_t>;
};

// A sender whose packets keep the boot clock beside their wall-clock stamp.
template <class S>
concept BootStamped = S::kStampsBoot;

// Packets decoded but not yet sent: a batch is sent when full and at the end
// of a pass, one hand-over for many packets.
inline constexpr std::size_t kScanBatch = 64;

// One pass over `buffer`; what is left is empty or an incomplete frame that
// starts with 0x75. A refused batch ends the pass at once and removes nothing.
// `stamp()` gives each packet's timestamp: the wall clock by default; a
// replay of a recording gives the receive time of the read being scanned.
// A sender that is a ScanTally is told what the pass skips; the others cost
// nothing for it.
template <PacketSender S, std::invocable Stamp = Timestamp (*)()>
void scan_frames(std::vector<std::uint8_t>& buffer, S& sender, Stamp stamp = wall_clock_ns) {
    const std::size_t length = buffer.size();
    if (length == 0) return;
    const std::uint8_t* data = buffer.data();
    // Records are made in place as frames decode, not all up front.
    alignas(IMUPacket) std::byte storage[sizeof(IMUPacket) * kScanBatch];
    IMUPacket* const batch = reinterpret_cast<IMUPacket*>(storage);
    std::size_t batched = 0;
    std::size_t i = 0;
    while (i < length) {
        if (data[i] != kSync1) {
            const void* next = std::memchr(data + i + 1, kSync1, length - i - 1);
            const std::size_t to = next ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - data) : length;
            if constexpr (ScanTally<S>) sender.outside(to - i);
            i = to;
            continue;
        }
        if (i + 1 >= length) break;
        if (data[i + 1] != kSync2) {
            if constexpr (ScanTally<S>) sender.outside(1);
            ++i;
            continue;
        }
        if (i + 4 > length) break;
        const std::size_t n = data[i + 3];
        if (i + n + kFrameOverhead > length) break;
        const Checksum sum = frame_checksum(data + i, n + 4);
        if (data[i + 4 + n] != sum.a || data[i + 5 + n] != sum.b) {
            if constexpr (ScanTally<S>) {
                sender.outside(1);
                sender.bad_checksum();
            }
            ++i;
            continue;
        }
        // The clock is read before the set is looked at: the stamp is the
        // moment of decoding.
        const Timestamp now = stamp();
        IMUPacket* packet = std::construct_at(batch + batched);
        if (decode_payload_into(data[i + 2], std::span(data + i + 4, n), now, *packet)) {
            if constexpr (ScanTally<S>) packet->skipped = sender.packet_frame(i + n + kFrameOverhead);
            if constexpr (BootStamped<S>) packet->boot = boot_clock_ns();
            if (++batched == kScanBatch) {
                if (!sender.send_all(std::span<const IMUPacket>(batch, batched))) return;
                batched = 0;
            }
        } else if constexpr (ScanTally<S>) {
            sender.other_frame();
        }
        i += n + kFrameOverhead;
    }
    if (batched > 0 && !sender.send_all(std::span<const IMUPacket>(batch, batched))) return;
    if (i == length) {
        buffer.clear();
    } else if (i > 0) {
        std::memmove(buffer.data(), buffer.data() + i, length - i);
        buffer.resize(length - i);
    }
}

}  // namespace brimlet
