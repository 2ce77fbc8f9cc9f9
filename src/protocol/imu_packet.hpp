#pragma once
// The record of one decoded packet: built on the reader thread, moved through
// the packet channel, wrapped in a Python object on the caller's thread.
// It holds no references to anything, so it can cross threads by value.

#include <array>
#include <optional>
#include <string>

namespace brimlet {

using Timestamp = unsigned __int128;  // nanoseconds since the Unix epoch
using Vec3 = std::array<float, 3>;
using Quat = std::array<float, 4>;

struct IMUPacket {
    std::string packet_type;  // "raw" or "estimated"
    Timestamp timestamp = 0;
    std::optional<std::string> invalid_fields;
    std::optional<Vec3> scaled_accel;
    std::optional<Vec3> scaled_gyro;
    std::optional<Vec3> delta_vel;
    std::optional<Vec3> delta_theta;
    std::optional<float> scaled_ambient_pressure;
    std::optional<float> est_pressure_alt;
    std::optional<Quat> est_orient_quaternion;
    std::optional<Quat> est_attitude_uncert_quaternion;
    std::optional<Vec3> est_angular_rate;
    std::optional<Vec3> est_compensated_accel;
    std::optional<Vec3> est_linear_accel;
    std::optional<Vec3> est_gravity_vector;
};

}  // namespace brimlet
