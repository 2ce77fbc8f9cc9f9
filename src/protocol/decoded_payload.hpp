#pragma once
// What the payload decoder gives for one valid frame of a known descriptor set.

#include <optional>
#include <string>
#include <variant>

#include "protocol/imu_packet.hpp"

namespace brimlet {

struct RawData {  // descriptor set 0x80
    Timestamp timestamp = 0;
    std::optional<Vec3> scaled_accel;
    std::optional<Vec3> scaled_gyro;
    std::optional<Vec3> delta_theta;
    std::optional<Vec3> delta_vel;
    std::optional<float> scaled_ambient_pressure;
    std::optional<std::string> invalid_fields;  // always absent
};

struct EstimatedData {  // descriptor set 0x82
    Timestamp timestamp = 0;
    std::optional<Vec3> est_angular_rate;
    std::optional<Vec3> est_compensated_accel;
    std::optional<Vec3> est_linear_accel;
    std::optional<Vec3> est_gravity_vector;
    std::optional<Quat> est_orient_quaternion;
    std::optional<Quat> est_attitude_uncert_quaternion;
    std::optional<float> est_pressure_alt;
    std::optional<std::string> invalid_fields;
};

using DecodedPayload = std::variant<RawData, EstimatedData>;

}  // namespace brimlet
