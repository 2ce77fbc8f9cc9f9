#include "columns/column_table.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace brimlet::columns {

namespace {

// Where a data field's values are in the packet record: nullptr when the
// packet does not carry the field.
struct FieldSource {
    std::string_view name;
    std::size_t width;
    const float* (*values)(const IMUPacket&);
};

template <auto Member>
const float* values_of(const IMUPacket& packet) {
    const auto& value = packet.*Member;
    if (!value) return nullptr;
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*value)>, float>) {
        return &*value;
    } else {
        return value->data();
    }
}

// In property order.
constexpr FieldSource kFields[] = {
    {"scaled_accel", 3, values_of<&IMUPacket::scaled_accel>},
    {"scaled_gyro", 3, values_of<&IMUPacket::scaled_gyro>},
    {"delta_vel", 3, values_of<&IMUPacket::delta_vel>},
    {"delta_theta", 3, values_of<&IMUPacket::delta_theta>},
    {"scaled_ambient_pressure", 1, values_of<&IMUPacket::scaled_ambient_pressure>},
    {"est_pressure_alt", 1, values_of<&IMUPacket::est_pressure_alt>},
    {"est_orient_quaternion", 4, values_of<&IMUPacket::est_orient_quaternion>},
    {"est_attitude_uncert_quaternion", 4, values_of<&IMUPacket::est_attitude_uncert_quaternion>},
    {"est_angular_rate", 3, values_of<&IMUPacket::est_angular_rate>},
    {"est_compensated_accel", 3, values_of<&IMUPacket::est_compensated_accel>},
    {"est_linear_accel", 3, values_of<&IMUPacket::est_linear_accel>},
    {"est_gravity_vector", 3, values_of<&IMUPacket::est_gravity_vector>},
};

constexpr std::size_t column_count() {
    std::size_t n = 0;
    for (const auto& f : kFields) n += f.width;
    return n;
}

constexpr auto kColumns = [] {
    constexpr std::string_view vector[] = {"x", "y", "z"};
    constexpr std::string_view quaternion[] = {"0", "1", "2", "3"};
    std::array<DataColumn, column_count()> out{};
    std::size_t c = 0;
    for (const auto& f : kFields) {
        for (std::size_t k = 0; k < f.width; ++k) {
            out[c++] = {f.name, f.width == 1 ? std::string_view{} : f.width == 3 ? vector[k] : quaternion[k]};
        }
    }
    return out;
}();

// In the order of the estimated set's field table.
constexpr std::string_view kValidity[] = {
    "estOrientQuaternion", "estLinearAccel",      "estAngularRate", "estAttitudeUncertQuaternion",
    "estGravityVector",    "estCompensatedAccel", "estPressureAlt",
};

// The bit mask of the comma-separated names in `text`.
std::uint16_t invalid_bits(std::string_view text) {
    std::uint16_t bits = 0;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        const auto* found = std::find(std::begin(kValidity), std::end(kValidity), text.substr(0, comma));
        if (found != std::end(kValidity)) bits |= static_cast<std::uint16_t>(1u << (found - std::begin(kValidity)));
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return bits;
}

// Takes the scanner's packets into the table, stamped with the time of the
// read being fed. A packet that finds no memory is refused, which ends the scan.
struct TableSender {
    ColumnTable& table;
    std::int64_t time = 0;
    bool out_of_memory = false;

    std::expected<void, IMUPacket> send(IMUPacket&& packet) {
        if (table.append(packet, time)) return {};
        out_of_memory = true;
        return std::unexpected(std::move(packet));
    }
};

// Bytes handed to the scanner at once: a long read is fed in pieces, which
// finds the same frames (the scanner keeps an incomplete frame for the next).
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Packets reserved per byte of stream at first: frames are 68 and 118 bytes
// long in a typical stream, and the table grows by doubling when needed.
constexpr std::size_t kBytesPerPacketGuess = 64;

}  // namespace

const std::span<const DataColumn> kDataColumns{kColumns};
const std::span<const std::string_view> kValidityNames{kValidity};

ColumnTable::ColumnTable() : data(std::make_unique<Column<float>[]>(kColumns.size())) {}

bool ColumnTable::reserve(std::size_t count) {
    count = std::max(count, size);
    bool ok = time.resize_capacity(count) && kind.resize_capacity(count) && invalid.resize_capacity(count);
    for (std::size_t c = 0; ok && c < kColumns.size(); ++c) ok = data[c].resize_capacity(count);
    // A column that did grow keeps its larger block; capacity is what all have.
    if (ok || count < capacity) capacity = count;
    return ok;
}

bool ColumnTable::append(const IMUPacket& packet, std::int64_t stamp) {
    if (size == capacity && !reserve(std::max<std::size_t>(1024, capacity * 2))) return false;
    const std::size_t i = size;
    time.data()[i] = stamp;
    kind.data()[i] = packet.packet_type == kKinds[0] ? 0 : 1;
    invalid.data()[i] = packet.invalid_fields ? invalid_bits(*packet.invalid_fields) : 0;
    constexpr float kAbsent = std::numeric_limits<float>::quiet_NaN();
    std::size_t c = 0;
    for (const auto& field : kFields) {
        const float* values = field.values(packet);
        for (std::size_t k = 0; k < field.width; ++k) data[c + k].data()[i] = values ? values[k] : kAbsent;
        c += field.width;
    }
    size = i + 1;
    return true;
}

std::expected<ColumnTable, DecodeError> decode_columns(std::span<const std::uint8_t> stream, ReadTimes reads) {
    ColumnTable table;
    if (!table.reserve(stream.size() / kBytesPerPacketGuess + 16)) return std::unexpected(DecodeError::out_of_memory);
    TableSender sender{table};
    std::vector<std::uint8_t> buffer;
    std::size_t fed = 0;
    // Feeds the stream up to `end` to the scanner; false when out of memory.
    const auto feed_to = [&](std::size_t end) {
        while (fed < end) {
            const std::size_t n = std::min(end - fed, kPiece);
            buffer.insert(buffer.end(), stream.begin() + fed, stream.begin() + fed + n);
            fed += n;
            scan_frames(buffer, sender);
            if (sender.out_of_memory) return false;
        }
        return true;
    };
    const std::size_t count = std::min(reads.ends.size(), reads.times.size());
    for (std::size_t k = 0; k < count; ++k) {
        sender.time = reads.times[k];
        if (!feed_to(std::min<std::uint64_t>(reads.ends[k], stream.size()))) {
            return std::unexpected(DecodeError::out_of_memory);
        }
    }
    if (!feed_to(stream.size())) return std::unexpected(DecodeError::out_of_memory);
    table.reserve(table.size);  // gives back what the guess took too much
    return table;
}

}  // namespace brimlet::columns
