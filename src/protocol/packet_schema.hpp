#pragma once
// The packet schema: every data field of a packet, once. The decoder's rows,
// the record's layout, the text form, the packet type's properties and its
// introspection entries are all derived from `kFields` while compiling.
//
// Plain constant data with no dependency beyond the standard library, so that
// any consumer of decoded packets can share it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brimlet::schema {

// The kind of a packet: the descriptor set of its frame.
enum class PacketKind : std::uint8_t { raw = 0, estimated = 1 };

inline constexpr std::size_t kKindCount = 2;
inline constexpr std::array<std::string_view, kKindCount> kKindNames{"raw", "estimated"};
inline constexpr std::array<std::uint8_t, kKindCount> kDescriptorSets{0x80, 0x82};

struct Field {
    std::string_view name;           // the property, and the label in the text form
    PacketKind kind;                 // the descriptor set that carries it
    std::uint8_t descriptor;         // the field descriptor within that set
    std::uint8_t width;              // values: 1, 3 (a vector) or 4 (a quaternion)
    std::string_view validity_name;  // its name in invalid_fields; empty when the
                                     // field has no valid-flags word
};

// In property order, which is also the order of the text form (after
// packet_type, timestamp and invalid_fields).
inline constexpr std::array kFields{
    Field{"scaled_accel", PacketKind::raw, 0x04, 3, {}},
    Field{"scaled_gyro", PacketKind::raw, 0x05, 3, {}},
    Field{"delta_vel", PacketKind::raw, 0x08, 3, {}},
    Field{"delta_theta", PacketKind::raw, 0x07, 3, {}},
    Field{"scaled_ambient_pressure", PacketKind::raw, 0x17, 1, {}},
    Field{"est_pressure_alt", PacketKind::estimated, 0x21, 1, "estPressureAlt"},
    Field{"est_orient_quaternion", PacketKind::estimated, 0x03, 4, "estOrientQuaternion"},
    Field{"est_attitude_uncert_quaternion", PacketKind::estimated, 0x12, 4, "estAttitudeUncertQuaternion"},
    Field{"est_angular_rate", PacketKind::estimated, 0x0E, 3, "estAngularRate"},
    Field{"est_compensated_accel", PacketKind::estimated, 0x1C, 3, "estCompensatedAccel"},
    Field{"est_linear_accel", PacketKind::estimated, 0x0D, 3, "estLinearAccel"},
    Field{"est_gravity_vector", PacketKind::estimated, 0x13, 3, "estGravityVector"},
};

inline constexpr std::size_t kFieldCount = kFields.size();

// ---- derived ----------------------------------------------------------------

inline constexpr std::uint8_t kNoField = 0xFF;

// The field's length byte on the wire: length and descriptor bytes, the
// big-endian single-precision values, and the valid-flags word if it has one.
constexpr std::size_t wire_length(const Field& f) {
    return 2 + 4 * std::size_t{f.width} + (f.validity_name.empty() ? 0 : 2);
}

// Where a field's values start in a record's value array: the fields of one
// kind lie one after the other, in property order.
inline constexpr std::array<std::uint8_t, kFieldCount> kSlot = [] {
    std::array<std::uint8_t, kFieldCount> slot{};
    std::array<std::size_t, kKindCount> next{};
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        auto& at = next[static_cast<std::size_t>(kFields[i].kind)];
        slot[i] = static_cast<std::uint8_t>(at);
        at += kFields[i].width;
    }
    return slot;
}();

// The values a record must hold: those of its kind's fields.
inline constexpr std::size_t kMaxValues = [] {
    std::array<std::size_t, kKindCount> total{};
    for (const Field& f : kFields) total[static_cast<std::size_t>(f.kind)] += f.width;
    return *std::max_element(total.begin(), total.end());
}();

// Wire order: by descriptor set, then descriptor (the order a device sends
// its fields in). Field indices.
inline constexpr std::array<std::uint8_t, kFieldCount> kWireOrder = [] {
    std::array<std::uint8_t, kFieldCount> order{};
    for (std::size_t i = 0; i < kFieldCount; ++i) order[i] = static_cast<std::uint8_t>(i);
    std::sort(order.begin(), order.end(), [](std::uint8_t a, std::uint8_t b) {
        const Field& x = kFields[a];
        const Field& y = kFields[b];
        return x.kind != y.kind ? x.kind < y.kind : x.descriptor < y.descriptor;
    });
    return order;
}();

// The fields with a valid-flags word, in wire order: validity code k names
// the field kValidityFields[k]. Bit k of a validity mask is that field.
inline constexpr std::size_t kValidityCount =
    std::count_if(kFields.begin(), kFields.end(), [](const Field& f) { return !f.validity_name.empty(); });

inline constexpr std::array<std::uint8_t, kValidityCount> kValidityFields = [] {
    std::array<std::uint8_t, kValidityCount> fields{};
    std::size_t k = 0;
    for (std::uint8_t i : kWireOrder) {
        if (!kFields[i].validity_name.empty()) fields[k++] = i;
    }
    return fields;
}();

inline constexpr std::array<std::string_view, kValidityCount> kValidityNames = [] {
    std::array<std::string_view, kValidityCount> names{};
    for (std::size_t k = 0; k < kValidityCount; ++k) names[k] = kFields[kValidityFields[k]].validity_name;
    return names;
}();

// The validity code of each field; kNoField for a field without flags.
inline constexpr std::array<std::uint8_t, kFieldCount> kValidityCode = [] {
    std::array<std::uint8_t, kFieldCount> code{};
    code.fill(kNoField);
    for (std::size_t k = 0; k < kValidityCount; ++k) code[kValidityFields[k]] = static_cast<std::uint8_t>(k);
    return code;
}();

// The most fields with a valid-flags word one payload (at most 255 bytes) can
// carry: a device may send the same field more than once.
inline constexpr std::size_t kMaxFlagged = [] {
    std::size_t shortest = 255;
    for (const Field& f : kFields) {
        if (!f.validity_name.empty()) shortest = std::min(shortest, wire_length(f));
    }
    return 255 / shortest;
}();

// ---- checks -----------------------------------------------------------------

constexpr bool schema_is_sound() {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const Field& f = kFields[i];
        if (f.width != 1 && f.width != 3 && f.width != 4) return false;
        if (wire_length(f) > 255) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (kFields[j].name == f.name) return false;
            if (kFields[j].kind == f.kind && kFields[j].descriptor == f.descriptor) return false;
            if (!f.validity_name.empty() && kFields[j].validity_name == f.validity_name) return false;
        }
    }
    return true;
}
static_assert(schema_is_sound(), "field names, descriptors and validity names are unique; widths 1, 3 or 4");
// A presence mask of 16 bits, validity codes of 4 bits.
static_assert(kFieldCount <= 16 && kValidityCount <= 16);

}  // namespace brimlet::schema
