#include "protocol/payload_decoder.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace brimlet {
namespace {

using test::Bytes;
using test::concat;
using test::field;

IMUPacket decode(std::uint8_t set, const Bytes& payload) {
    auto decoded = decode_payload(set, payload);
    EXPECT_TRUE(decoded.has_value());
    return build_packet(std::move(*decoded));
}

TEST(PayloadDecoder, OnlyTheTwoKnownSetsGiveARecord) {
    EXPECT_FALSE(decode_payload(0x81, {}));
    EXPECT_FALSE(decode_payload(0x00, {}));
    EXPECT_TRUE(std::holds_alternative<RawData>(*decode_payload(0x80, {})));
    EXPECT_TRUE(std::holds_alternative<EstimatedData>(*decode_payload(0x82, {})));
}

TEST(PayloadDecoder, RawFieldsFillTheirTargets) {
    const Bytes payload = concat({field(0x04, {1, 2, 3}), field(0x05, {4, 5, 6}), field(0x07, {7, 8, 9}),
                                  field(0x08, {10, 11, 12}), field(0x17, {1013.25f})});
    const IMUPacket p = decode(0x80, payload);
    EXPECT_EQ(p.packet_type, "raw");
    EXPECT_EQ(p.scaled_accel, (Vec3{1, 2, 3}));
    EXPECT_EQ(p.scaled_gyro, (Vec3{4, 5, 6}));
    EXPECT_EQ(p.delta_theta, (Vec3{7, 8, 9}));
    EXPECT_EQ(p.delta_vel, (Vec3{10, 11, 12}));
    EXPECT_EQ(p.scaled_ambient_pressure, 1013.25f);
    EXPECT_FALSE(p.invalid_fields);
    EXPECT_FALSE(p.est_pressure_alt);
    EXPECT_FALSE(p.est_gravity_vector);
}

TEST(PayloadDecoder, EstimatedFieldsFillTheirTargets) {
    const Bytes payload = concat({field(0x03, {1, 0, 0, 0}, 1), field(0x0D, {1, 2, 3}, 1), field(0x0E, {4, 5, 6}, 1),
                                  field(0x12, {.1f, .2f, .3f, .4f}, 1), field(0x13, {0, 0, -9.8f}, 1),
                                  field(0x1C, {7, 8, 9}, 1), field(0x21, {-12.5f}, 1)});
    const IMUPacket p = decode(0x82, payload);
    EXPECT_EQ(p.packet_type, "estimated");
    EXPECT_EQ(p.est_orient_quaternion, (Quat{1, 0, 0, 0}));
    EXPECT_EQ(p.est_linear_accel, (Vec3{1, 2, 3}));
    EXPECT_EQ(p.est_angular_rate, (Vec3{4, 5, 6}));
    EXPECT_EQ(p.est_attitude_uncert_quaternion, (Quat{.1f, .2f, .3f, .4f}));
    EXPECT_EQ(p.est_gravity_vector, (Vec3{0, 0, -9.8f}));
    EXPECT_EQ(p.est_compensated_accel, (Vec3{7, 8, 9}));
    EXPECT_EQ(p.est_pressure_alt, -12.5f);
    EXPECT_FALSE(p.invalid_fields);
    EXPECT_FALSE(p.scaled_accel);
}

TEST(PayloadDecoder, ValidFlagIsBitZeroOfTheLastByte) {
    for (int flags : {0x0000, 0xFFFE}) {
        const IMUPacket p = decode(0x82, field(0x21, {1.0f}, flags));
        EXPECT_EQ(p.est_pressure_alt, 1.0f);
        EXPECT_EQ(p.invalid_fields, "estPressureAlt") << flags;
    }
    for (int flags : {0x0001, 0xFFFF}) EXPECT_FALSE(decode(0x82, field(0x21, {1.0f}, flags)).invalid_fields);
}

TEST(PayloadDecoder, FlaggedNamesFollowPayloadOrder) {
    const Bytes alt = field(0x21, {1.0f}, 0);
    const Bytes gravity = field(0x13, {0, 0, 1}, 0);
    EXPECT_EQ(decode(0x82, concat({alt, gravity})).invalid_fields, "estPressureAlt,estGravityVector");
    EXPECT_EQ(decode(0x82, concat({gravity, alt})).invalid_fields, "estGravityVector,estPressureAlt");
    // The same field twice: later values win, and each flag counts.
    const IMUPacket twice = decode(0x82, concat({alt, field(0x21, {2.0f}, 0)}));
    EXPECT_EQ(twice.est_pressure_alt, 2.0f);
    EXPECT_EQ(twice.invalid_fields, "estPressureAlt,estPressureAlt");
}

TEST(PayloadDecoder, FieldsThatDoNotFitAreSkipped) {
    // Wrong lengths are skipped and the walk goes on.
    Bytes short_accel = field(0x04, {1, 2, 3});
    short_accel.pop_back();
    short_accel[0] = 13;
    Bytes long_accel = field(0x04, {1, 2, 3});
    long_accel.push_back(0);
    long_accel[0] = 15;
    const IMUPacket p = decode(0x80, concat({short_accel, long_accel, field(0x05, {1, 1, 1})}));
    EXPECT_FALSE(p.scaled_accel);
    EXPECT_EQ(p.scaled_gyro, (Vec3{1, 1, 1}));
    // A flagged estimated field of the wrong length is neither stored nor named.
    Bytes bad_alt = field(0x21, {1.0f}, 0);
    bad_alt.push_back(0);
    bad_alt[0] = 9;
    const IMUPacket q = decode(0x82, bad_alt);
    EXPECT_FALSE(q.est_pressure_alt);
    EXPECT_FALSE(q.invalid_fields);
    // Descriptors of the other set are skipped.
    EXPECT_FALSE(decode(0x82, field(0x04, {1, 2, 3}, 1)).scaled_accel);
    EXPECT_FALSE(decode(0x80, field(0x03, {1, 2, 3, 4})).est_orient_quaternion);
}

TEST(PayloadDecoder, WalkEndsAtTinyOrOverlongField) {
    for (std::uint8_t tiny : {0, 1}) {
        const IMUPacket p = decode(0x80, concat({field(0x04, {1, 2, 3}), {tiny, 0x05}, field(0x17, {5})}));
        EXPECT_EQ(p.scaled_accel, (Vec3{1, 2, 3}));
        EXPECT_FALSE(p.scaled_ambient_pressure) << int(tiny);
    }
    Bytes overlong = field(0x17, {5});
    overlong[0] = 40;
    const IMUPacket p = decode(0x80, concat({field(0x04, {1, 2, 3}), overlong}));
    EXPECT_EQ(p.scaled_accel, (Vec3{1, 2, 3}));
    EXPECT_FALSE(p.scaled_ambient_pressure);
}

TEST(PayloadDecoder, TimestampIsTheWallClockAtDecoding) {
    const Timestamp before = wall_clock_ns();
    const IMUPacket p = decode(0x80, {});
    const Timestamp after = wall_clock_ns();
    EXPECT_LE(before, p.timestamp);
    EXPECT_LE(p.timestamp, after);
    EXPECT_GT(p.timestamp, Timestamp{1'600'000'000} * 1'000'000'000u);
}

}  // namespace
}  // namespace brimlet
