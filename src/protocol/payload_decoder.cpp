#include "protocol/payload_decoder.hpp"

#include <bit>
#include <cstring>
#include <ctime>

namespace brimlet {

namespace {

using schema::kFields;

// The field lengths on the wire, by field index.
constexpr auto kWireLength = [] {
    std::array<std::uint8_t, schema::kFieldCount> length{};
    for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
        length[i] = static_cast<std::uint8_t>(schema::wire_length(kFields[i]));
    }
    return length;
}();

constexpr int kind_of(std::uint8_t descriptor_set) {
    for (std::size_t k = 0; k < schema::kKindCount; ++k) {
        if (schema::kDescriptorSets[k] == descriptor_set) return static_cast<int>(k);
    }
    return -1;
}

void read_floats(const std::uint8_t* p, std::span<float> out) {
    for (float& value : out) {
        std::uint32_t bits;
        std::memcpy(&bits, p, 4);
        if constexpr (std::endian::native == std::endian::little) bits = std::byteswap(bits);
        value = std::bit_cast<float>(bits);
        p += 4;
    }
}

}  // namespace

Timestamp wall_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A clock set before 1970 stamps packets with the epoch itself.
    if (now.tv_sec < 0) return 0;
    return static_cast<Timestamp>(now.tv_sec) * 1'000'000'000u + static_cast<Timestamp>(now.tv_nsec);
}

bool decode_payload_into(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload, Timestamp stamp,
                         IMUPacket& out) {
    const int kind = kind_of(descriptor_set);
    if (kind < 0) return false;
    out = IMUPacket{};
    out.kind = static_cast<PacketKind>(kind);
    out.set_timestamp(stamp);
    const auto& rows = schema::kFieldByDescriptor[static_cast<std::size_t>(kind)];
    const std::uint8_t* data = payload.data();
    const std::size_t n = payload.size();
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = data[o];
        if (length < 2 || o + length > n) break;
        const std::uint8_t field = rows[data[o + 1]];
        if (field != schema::kNoField && kWireLength[field] == length) {
            read_floats(data + o + 2, out.field_values(field));
            out.present = static_cast<std::uint16_t>(out.present | (1u << field));
            // The valid flag: bit 0 of the field's last byte.
            const std::uint8_t code = schema::kValidityCode[field];
            if (code != schema::kNoField && (data[o + length - 1] & 1) == 0) out.add_invalid(code);
        }
        o += length;
    }
    return true;
}

std::optional<IMUPacket> decode_payload(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload) {
    // The clock is read before the set is looked at: the stamp is the moment
    // of decoding.
    const Timestamp stamp = wall_clock_ns();
    IMUPacket packet;
    if (!decode_payload_into(descriptor_set, payload, stamp, packet)) return std::nullopt;
    return packet;
}

}  // namespace brimlet
