#include "protocol/payload_decoder.hpp"

#include <gtest/gtest.h>

#include <string>

#include "protocol/packet_text.hpp"

#include "test_support.hpp"

namespace brimlet {
namespace {

using test::Bytes;
using test::concat;
using test::field;

using test::Floats;
using test::kind_name;
using test::value;

IMUPacket decode(std::uint8_t set, const Bytes& payload) {
    auto decoded = decode_payload(set, payload);
    EXPECT_TRUE(decoded.has_value());
    return decoded.value_or(IMUPacket{});
}

TEST(PayloadDecoder, OnlyTheTwoKnownSetsGiveARecord) {
    EXPECT_FALSE(decode_payload(0x81, {}));
    EXPECT_FALSE(decode_payload(0x00, {}));
    EXPECT_EQ(kind_name(*decode_payload(0x80, {})), "raw");
    EXPECT_EQ(kind_name(*decode_payload(0x82, {})), "estimated");
}

TEST(PayloadDecoder, RawFieldsFillTheirTargets) {
    const Bytes payload = concat({field(0x04, {1, 2, 3}), field(0x05, {4, 5, 6}), field(0x07, {7, 8, 9}),
                                  field(0x08, {10, 11, 12}), field(0x17, {1013.25f})});
    const IMUPacket p = decode(0x80, payload);
    EXPECT_EQ(kind_name(p), "raw");
    EXPECT_EQ(value(p, "scaled_accel"), (Floats{1, 2, 3}));
    EXPECT_EQ(value(p, "scaled_gyro"), (Floats{4, 5, 6}));
    EXPECT_EQ(value(p, "delta_theta"), (Floats{7, 8, 9}));
    EXPECT_EQ(value(p, "delta_vel"), (Floats{10, 11, 12}));
    EXPECT_EQ(value(p, "scaled_ambient_pressure"), Floats{1013.25f});
    EXPECT_FALSE(invalid_fields_text(p));
    EXPECT_FALSE(value(p, "est_pressure_alt"));
    EXPECT_FALSE(value(p, "est_gravity_vector"));
}

TEST(PayloadDecoder, EstimatedFieldsFillTheirTargets) {
    const Bytes payload = concat({field(0x03, {1, 0, 0, 0}, 1), field(0x0D, {1, 2, 3}, 1), field(0x0E, {4, 5, 6}, 1),
                                  field(0x12, {.1f, .2f, .3f, .4f}, 1), field(0x13, {0, 0, -9.8f}, 1),
                                  field(0x1C, {7, 8, 9}, 1), field(0x21, {-12.5f}, 1)});
    const IMUPacket p = decode(0x82, payload);
    EXPECT_EQ(kind_name(p), "estimated");
    EXPECT_EQ(value(p, "est_orient_quaternion"), (Floats{1, 0, 0, 0}));
    EXPECT_EQ(value(p, "est_linear_accel"), (Floats{1, 2, 3}));
    EXPECT_EQ(value(p, "est_angular_rate"), (Floats{4, 5, 6}));
    EXPECT_EQ(value(p, "est_attitude_uncert_quaternion"), (Floats{.1f, .2f, .3f, .4f}));
    EXPECT_EQ(value(p, "est_gravity_vector"), (Floats{0, 0, -9.8f}));
    EXPECT_EQ(value(p, "est_compensated_accel"), (Floats{7, 8, 9}));
    EXPECT_EQ(value(p, "est_pressure_alt"), Floats{-12.5f});
    EXPECT_FALSE(invalid_fields_text(p));
    EXPECT_FALSE(value(p, "scaled_accel"));
}

TEST(PayloadDecoder, ValidFlagIsBitZeroOfTheLastByte) {
    for (int flags : {0x0000, 0xFFFE}) {
        const IMUPacket p = decode(0x82, field(0x21, {1.0f}, flags));
        EXPECT_EQ(value(p, "est_pressure_alt"), Floats{1.0f});
        EXPECT_EQ(invalid_fields_text(p), "estPressureAlt") << flags;
    }
    for (int flags : {0x0001, 0xFFFF}) EXPECT_FALSE(invalid_fields_text(decode(0x82, field(0x21, {1.0f}, flags))));
}

TEST(PayloadDecoder, FlaggedNamesFollowPayloadOrder) {
    const Bytes alt = field(0x21, {1.0f}, 0);
    const Bytes gravity = field(0x13, {0, 0, 1}, 0);
    EXPECT_EQ(invalid_fields_text(decode(0x82, concat({alt, gravity}))), "estPressureAlt,estGravityVector");
    EXPECT_EQ(invalid_fields_text(decode(0x82, concat({gravity, alt}))), "estGravityVector,estPressureAlt");
    // The same field twice: later values win, and each flag counts.
    const IMUPacket twice = decode(0x82, concat({alt, field(0x21, {2.0f}, 0)}));
    EXPECT_EQ(value(twice, "est_pressure_alt"), Floats{2.0f});
    EXPECT_EQ(invalid_fields_text(twice), "estPressureAlt,estPressureAlt");
}

// 31 flagged fields (248 bytes) are the most a payload of 255 bytes holds.
TEST(PayloadDecoder, AFullPayloadKeepsEveryFlaggedName) {
    const Bytes alt = field(0x21, {1.0f}, 0);
    Bytes all_alt;
    std::string expected;
    for (int k = 0; k < 31; ++k) {
        all_alt.insert(all_alt.end(), alt.begin(), alt.end());
        expected += k ? ",estPressureAlt" : "estPressureAlt";
    }
    EXPECT_EQ(invalid_fields_text(decode(0x82, all_alt)), expected);
    Bytes mixed(all_alt.begin(), all_alt.begin() + 8 * 29);
    const Bytes rate = field(0x0E, {0, 0, 1}, 0);
    mixed.insert(mixed.begin() + 8 * 7, rate.begin(), rate.end());
    const std::string seven = expected.substr(0, 7 * 15);
    EXPECT_EQ(invalid_fields_text(decode(0x82, mixed)),
              seven + "estAngularRate," + expected.substr(0, 22 * 15 - 1));
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
    EXPECT_FALSE(value(p, "scaled_accel"));
    EXPECT_EQ(value(p, "scaled_gyro"), (Floats{1, 1, 1}));
    // A flagged estimated field of the wrong length is neither stored nor named.
    Bytes bad_alt = field(0x21, {1.0f}, 0);
    bad_alt.push_back(0);
    bad_alt[0] = 9;
    const IMUPacket q = decode(0x82, bad_alt);
    EXPECT_FALSE(value(q, "est_pressure_alt"));
    EXPECT_FALSE(invalid_fields_text(q));
    // Descriptors of the other set are skipped.
    EXPECT_FALSE(value(decode(0x82, field(0x04, {1, 2, 3}, 1)), "scaled_accel"));
    EXPECT_FALSE(value(decode(0x80, field(0x03, {1, 2, 3, 4})), "est_orient_quaternion"));
}

TEST(PayloadDecoder, WalkEndsAtTinyOrOverlongField) {
    for (std::uint8_t tiny : {0, 1}) {
        const IMUPacket p = decode(0x80, concat({field(0x04, {1, 2, 3}), {tiny, 0x05}, field(0x17, {5})}));
        EXPECT_EQ(value(p, "scaled_accel"), (Floats{1, 2, 3}));
        EXPECT_FALSE(value(p, "scaled_ambient_pressure")) << int(tiny);
    }
    Bytes overlong = field(0x17, {5});
    overlong[0] = 40;
    const IMUPacket p = decode(0x80, concat({field(0x04, {1, 2, 3}), overlong}));
    EXPECT_EQ(value(p, "scaled_accel"), (Floats{1, 2, 3}));
    EXPECT_FALSE(value(p, "scaled_ambient_pressure"));
}

TEST(PayloadDecoder, TimestampIsTheWallClockAtDecoding) {
    const Timestamp before = wall_clock_ns();
    const IMUPacket p = decode(0x80, {});
    const Timestamp after = wall_clock_ns();
    EXPECT_LE(before, p.timestamp());
    EXPECT_LE(p.timestamp(), after);
    EXPECT_GT(p.timestamp(), Timestamp{1'600'000'000} * 1'000'000'000u);
}

TEST(PayloadDecoder, TimestampsBeyondSixtyFourBitsAreKept) {
    for (const Timestamp stamp : {Timestamp{0}, ~Timestamp{0} >> 35, Timestamp{1} << 64, (Timestamp{1} << 64) - 1}) {
        IMUPacket p;
        ASSERT_TRUE(decode_payload_into(0x80, {}, stamp, p));
        EXPECT_EQ(format_u128(p.timestamp()), format_u128(stamp));
    }
}

}  // namespace
}  // namespace brimlet
