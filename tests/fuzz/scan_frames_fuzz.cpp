// Feeds arbitrary bytes to the frame scanner in arbitrary pieces and checks
// what must always hold: the tail left behind is shorter than the largest
// frame and starts with a sync byte, and every packet carries only fields of
// its own kind.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace {

struct CheckingSender {
    std::expected<void, brimlet::IMUPacket> send(brimlet::IMUPacket&& p) {
        const bool raw = p.packet_type == "raw";
        const bool estimated = p.packet_type == "estimated";
        if (!raw && !estimated) std::abort();
        const bool any_raw = p.scaled_accel || p.scaled_gyro || p.delta_vel || p.delta_theta ||
                             p.scaled_ambient_pressure;
        const bool any_est = p.est_pressure_alt || p.est_orient_quaternion || p.est_attitude_uncert_quaternion ||
                             p.est_angular_rate || p.est_compensated_accel || p.est_linear_accel ||
                             p.est_gravity_vector;
        if (raw && (any_est || p.invalid_fields)) std::abort();
        if (estimated && any_raw) std::abort();
        if (p.invalid_fields && p.invalid_fields->empty()) std::abort();
        return {};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte seeds the piece sizes; the rest is the stream.
    std::uint32_t state = data[0] * 2654435761u + 1;
    CheckingSender sender;
    std::vector<std::uint8_t> buffer;
    for (std::size_t pos = 1; pos < size;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t piece = std::min<std::size_t>(1 + (state >> 16) % 400, size - pos);
        buffer.insert(buffer.end(), data + pos, data + pos + piece);
        pos += piece;
        brimlet::scan_frames(buffer, sender);
        if (buffer.size() >= brimlet::kMaxFrame) std::abort();
        if (!buffer.empty() && buffer[0] != brimlet::kSync1) std::abort();
    }
    return 0;
}
