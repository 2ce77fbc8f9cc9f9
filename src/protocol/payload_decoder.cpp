#include "protocol/payload_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

namespace brimlet {

namespace {

float read_f32(const std::uint8_t* p) {
    const std::uint32_t bits = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                               (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    return std::bit_cast<float>(bits);
}

template <std::size_t N>
std::array<float, N> read_floats(const std::uint8_t* p) {
    std::array<float, N> values{};
    for (std::size_t k = 0; k < N; ++k) values[k] = read_f32(p + 4 * k);
    return values;
}

// One row per field descriptor: its whole length and where its values go.
template <class Record>
struct FieldRow {
    std::uint8_t descriptor;
    std::uint8_t length;  // the field's length byte, header included
    void (*store)(Record&, const std::uint8_t* data);
    std::string_view flag_name;  // estimated set only
};

template <auto Member, std::size_t N>
void store_array(auto& record, const std::uint8_t* data) {
    record.*Member = read_floats<N>(data);
}

template <auto Member>
void store_scalar(auto& record, const std::uint8_t* data) {
    record.*Member = read_f32(data);
}

constexpr FieldRow<RawData> kRawRows[] = {
    {0x04, 14, store_array<&RawData::scaled_accel, 3>, {}},
    {0x05, 14, store_array<&RawData::scaled_gyro, 3>, {}},
    {0x07, 14, store_array<&RawData::delta_theta, 3>, {}},
    {0x08, 14, store_array<&RawData::delta_vel, 3>, {}},
    {0x17, 6, store_scalar<&RawData::scaled_ambient_pressure>, {}},
};

constexpr FieldRow<EstimatedData> kEstimatedRows[] = {
    {0x03, 20, store_array<&EstimatedData::est_orient_quaternion, 4>, "estOrientQuaternion"},
    {0x0D, 16, store_array<&EstimatedData::est_linear_accel, 3>, "estLinearAccel"},
    {0x0E, 16, store_array<&EstimatedData::est_angular_rate, 3>, "estAngularRate"},
    {0x12, 20, store_array<&EstimatedData::est_attitude_uncert_quaternion, 4>,
     "estAttitudeUncertQuaternion"},
    {0x13, 16, store_array<&EstimatedData::est_gravity_vector, 3>, "estGravityVector"},
    {0x1C, 16, store_array<&EstimatedData::est_compensated_accel, 3>, "estCompensatedAccel"},
    {0x21, 8, store_scalar<&EstimatedData::est_pressure_alt>, "estPressureAlt"},
};

// Walks the fields of `payload`, storing those `rows` know. For the estimated
// set, the names of fields whose valid flag (bit 0 of the last byte) is clear
// are collected in payload order.
template <class Record, std::size_t R>
void walk_fields(Record& record, const FieldRow<Record> (&rows)[R],
                 std::span<const std::uint8_t> payload, bool has_flags) {
    const std::size_t n = payload.size();
    std::string flagged;
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = payload[o];
        if (length < 2 || o + length > n) break;
        const std::uint8_t descriptor = payload[o + 1];
        const std::uint8_t* data = payload.data() + o + 2;
        for (const auto& row : rows) {
            if (row.descriptor != descriptor || row.length != length) continue;
            row.store(record, data);
            if (has_flags && (data[length - 3] & 1) == 0) {
                if (!flagged.empty()) flagged += ',';
                flagged += row.flag_name;
            }
            break;
        }
        o += length;
    }
    if (!flagged.empty()) record.invalid_fields = std::move(flagged);
}

}  // namespace

Timestamp wall_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A clock set before 1970 stamps packets with the epoch itself.
    if (now.tv_sec < 0) return 0;
    return static_cast<Timestamp>(now.tv_sec) * 1'000'000'000u + static_cast<Timestamp>(now.tv_nsec);
}

std::optional<DecodedPayload> decode_payload(std::uint8_t descriptor_set,
                                             std::span<const std::uint8_t> payload) {
    // The clock is read before the set is looked at: the stamp is the moment
    // of decoding.
    const Timestamp timestamp = wall_clock_ns();
    if (descriptor_set == kRawSet) {
        RawData raw;
        raw.timestamp = timestamp;
        walk_fields(raw, kRawRows, payload, false);
        return DecodedPayload(std::move(raw));
    }
    if (descriptor_set == kEstimatedSet) {
        EstimatedData estimated;
        estimated.timestamp = timestamp;
        walk_fields(estimated, kEstimatedRows, payload, true);
        return DecodedPayload(std::move(estimated));
    }
    return std::nullopt;
}

namespace {

IMUPacket packet_from(RawData&& d) {
    IMUPacket p;
    p.packet_type = "raw";
    p.timestamp = d.timestamp;
    p.invalid_fields = std::move(d.invalid_fields);
    p.scaled_accel = d.scaled_accel;
    p.scaled_gyro = d.scaled_gyro;
    p.delta_vel = d.delta_vel;
    p.delta_theta = d.delta_theta;
    p.scaled_ambient_pressure = d.scaled_ambient_pressure;
    return p;
}

IMUPacket packet_from(EstimatedData&& d) {
    IMUPacket p;
    p.packet_type = "estimated";
    p.timestamp = d.timestamp;
    p.invalid_fields = std::move(d.invalid_fields);
    p.est_pressure_alt = d.est_pressure_alt;
    p.est_orient_quaternion = d.est_orient_quaternion;
    p.est_attitude_uncert_quaternion = d.est_attitude_uncert_quaternion;
    p.est_angular_rate = d.est_angular_rate;
    p.est_compensated_accel = d.est_compensated_accel;
    p.est_linear_accel = d.est_linear_accel;
    p.est_gravity_vector = d.est_gravity_vector;
    return p;
}

}  // namespace

IMUPacket build_packet(DecodedPayload&& decoded) {
    return std::visit([](auto&& d) { return packet_from(std::move(d)); }, std::move(decoded));
}

}  // namespace brimlet
