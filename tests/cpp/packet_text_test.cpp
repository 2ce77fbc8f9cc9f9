#include "protocol/packet_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "test_support.hpp"

namespace brimlet {
namespace {

using test::set_value;

std::uint8_t validity_code(std::string_view name) { return schema::kValidityCode[test::field_index(name)]; }

TEST(PacketText, NumberForms) {
    const std::pair<float, const char*> cases[] = {
        {0.1f, "0.1"},         {-0.25f, "-0.25"},      {9.81f, "9.81"},
        {0.0f, "0.0"},         {-0.0f, "-0.0"},        {1.0f, "1.0"},
        {2.5f, "2.5"},         {0.001f, "0.001"},      {0.0001f, "0.0001"},
        {1e-5f, "1e-5"},       {1.5e-5f, "1.5e-5"},    {1e16f, "1e16"},
        {2e16f, "2e16"},       {1013.25f, "1013.25"},  {123456789.0f, "123456790.0"},
        {1e15f, "1000000000000000.0"}, {3.4028235e38f, "3.4028235e38"},
        {-9.80665f, "-9.80665"}, {0.01f, "0.01"},      {-12.5f, "-12.5"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_f32(value), text) << text;
    EXPECT_EQ(format_f32(std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_f32(-std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_f32(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(format_f32(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(PacketText, Timestamps) {
    EXPECT_EQ(format_u128(0), "0");
    EXPECT_EQ(format_u128(Timestamp{1} << 64), "18446744073709551616");
    EXPECT_EQ(format_u128(~Timestamp{0}), "340282366920938463463374607431768211455");
}

TEST(PacketText, RawExample) {
    IMUPacket p;
    p.kind = PacketKind::raw;
    p.set_timestamp(1733486400123456789);
    set_value(p, "scaled_accel", {0.1f, -0.25f, 9.81f});
    set_value(p, "scaled_gyro", {0.001f, 0.0f, -0.002f});
    set_value(p, "delta_theta", {0.00001f, 0.0f, 2.5f});
    set_value(p, "scaled_ambient_pressure", {1013.25f});
    EXPECT_TRUE(debug_listing(p).starts_with("IMUPacket { packet_type: "));
    EXPECT_TRUE(debug_listing(p).ends_with("est_gravity_vector: None }"));
    EXPECT_EQ(packet_text(p),
              "IMUPacket(packet_type=\"raw\", timestamp=1733486400123456789, invalid_fields=None, "
              "scaled_accel=Some([0.1, -0.25, 9.81]), scaled_gyro=Some([0.001, 0.0, -0.002]), delta_vel=None, "
              "delta_theta=Some([1e-5, 0.0, 2.5]), scaled_ambient_pressure=Some(1013.25), est_pressure_alt=None, "
              "est_orient_quaternion=None, est_attitude_uncert_quaternion=None, est_angular_rate=None, "
              "est_compensated_accel=None, est_linear_accel=None, est_gravity_vector=None )");
}

TEST(PacketText, EstimatedExample) {
    IMUPacket p;
    p.kind = PacketKind::estimated;
    p.set_timestamp(1733486400223456789);
    p.add_invalid(validity_code("est_pressure_alt"));
    p.add_invalid(validity_code("est_gravity_vector"));
    set_value(p, "est_pressure_alt", {-12.5f});
    set_value(p, "est_orient_quaternion", {1, 0, 0, 0});
    set_value(p, "est_attitude_uncert_quaternion", {0.01f, 0.01f, 0.01f, 0.01f});
    set_value(p, "est_compensated_accel", {0, 0, -9.81f});
    set_value(p, "est_gravity_vector", {0, 0, -9.80665f});
    EXPECT_EQ(packet_text(p),
              "IMUPacket(packet_type=\"estimated\", timestamp=1733486400223456789, "
              "invalid_fields=Some(\"estPressureAlt,estGravityVector\"), scaled_accel=None, scaled_gyro=None, "
              "delta_vel=None, delta_theta=None, scaled_ambient_pressure=None, est_pressure_alt=Some(-12.5), "
              "est_orient_quaternion=Some([1.0, 0.0, 0.0, 0.0]), "
              "est_attitude_uncert_quaternion=Some([0.01, 0.01, 0.01, 0.01]), est_angular_rate=None, "
              "est_compensated_accel=Some([0.0, 0.0, -9.81]), est_linear_accel=None, "
              "est_gravity_vector=Some([0.0, 0.0, -9.80665]) )");
}

TEST(PacketText, EmptyEstimatedPacket) {
    IMUPacket p;
    p.kind = PacketKind::estimated;
    const std::string text = packet_text(p);
    EXPECT_TRUE(text.starts_with("IMUPacket(packet_type=\"estimated\", timestamp=0, invalid_fields=None"));
    EXPECT_TRUE(text.ends_with("est_gravity_vector=None )"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '='), 15);
    EXPECT_EQ(text.find(": "), std::string::npos);
}

}  // namespace
}  // namespace brimlet
