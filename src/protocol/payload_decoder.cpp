#include "protocol/payload_decoder.hpp"

#include <bit>
#include <cstring>
#include <ctime>

namespace brimlet {

namespace {

using schema::kFields;

// What the decoder needs of one descriptor of a set, in one place.
struct Row {
    std::uint8_t length = 0;  // the field's length byte; 0: not a field of the set
    std::uint8_t field = schema::kNoField;
    std::uint8_t slot = 0;
    std::uint8_t width = 0;
    std::uint8_t validity = schema::kNoField;
};

constexpr auto kRows = [] {
    std::array<std::array<Row, 256>, schema::kKindCount> rows{};
    for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
        const schema::Field& f = kFields[i];
        rows[static_cast<std::size_t>(f.kind)][f.descriptor] = Row{
            static_cast<std::uint8_t>(schema::wire_length(f)), static_cast<std::uint8_t>(i), schema::kSlot[i],
            f.width, schema::kValidityCode[i]};
    }
    return rows;
}();

constexpr int kind_of(std::uint8_t descriptor_set) {
    for (std::size_t k = 0; k < schema::kKindCount; ++k) {
        if (schema::kDescriptorSets[k] == descriptor_set) return static_cast<int>(k);
    }
    return -1;
}

template <std::size_t N>
void read_floats(const std::uint8_t* p, float* out) {
    for (std::size_t k = 0; k < N; ++k) {
        std::uint32_t bits;
        std::memcpy(&bits, p + 4 * k, 4);
        if constexpr (std::endian::native == std::endian::little) bits = std::byteswap(bits);
        out[k] = std::bit_cast<float>(bits);
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

std::int64_t boot_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool decode_payload_into(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload, Timestamp stamp,
                         IMUPacket& out) {
    const int kind = kind_of(descriptor_set);
    if (kind < 0) return false;
    out = IMUPacket{};
    out.kind = static_cast<PacketKind>(kind);
    out.set_timestamp(stamp);
    const auto& rows = kRows[static_cast<std::size_t>(kind)];
    const std::uint8_t* data = payload.data();
    const std::size_t n = payload.size();
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = data[o];
        if (length < 2 || o + length > n) break;
        const Row& row = rows[data[o + 1]];
        if (row.length == length) {
            float* values = out.values.data() + row.slot;
            switch (row.width) {
                case 1: read_floats<1>(data + o + 2, values); break;
                case 3: read_floats<3>(data + o + 2, values); break;
                default: read_floats<4>(data + o + 2, values); break;
            }
            out.present = static_cast<std::uint16_t>(out.present | (1u << row.field));
            // The valid flag: bit 0 of the field's last byte.
            if (row.validity != schema::kNoField && (data[o + length - 1] & 1) == 0) out.add_invalid(row.validity);
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
