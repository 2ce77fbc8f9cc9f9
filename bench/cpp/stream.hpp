#pragma once
// A realistic device stream for the benchmarks: raw frames with accel, gyro,
// delta-theta, delta-velocity and pressure at 1000 Hz, interleaved with
// estimated frames at 100 Hz.

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace brimlet::bench {

inline void put_field(std::vector<std::uint8_t>& p, std::uint8_t descriptor, std::initializer_list<float> values,
                      bool flags) {
    p.push_back(static_cast<std::uint8_t>(2 + 4 * values.size() + (flags ? 2 : 0)));
    p.push_back(descriptor);
    for (float v : values) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<std::uint8_t>(bits >> s));
    }
    if (flags) {
        p.push_back(0);
        p.push_back(1);
    }
}

inline void put_frame(std::vector<std::uint8_t>& out, std::uint8_t set, const std::vector<std::uint8_t>& payload) {
    const std::size_t start = out.size();
    out.insert(out.end(), {kSync1, kSync2, set, static_cast<std::uint8_t>(payload.size())});
    out.insert(out.end(), payload.begin(), payload.end());
    const Checksum sum = frame_checksum(out.data() + start, out.size() - start);
    out.push_back(sum.a);
    out.push_back(sum.b);
}

// About `bytes` bytes of stream; returns it and counts frames in `frames`.
inline std::vector<std::uint8_t> realistic_stream(std::size_t bytes, std::size_t* frames = nullptr) {
    std::vector<std::uint8_t> out;
    out.reserve(bytes + 512);
    std::vector<std::uint8_t> payload;
    std::size_t count = 0;
    for (std::uint32_t k = 0; out.size() < bytes; ++k) {
        const float t = static_cast<float>(k) * 0.001f;
        payload.clear();
        put_field(payload, 0x04, {0.01f * t, -0.02f, -9.81f}, false);
        put_field(payload, 0x05, {0.001f, 0.002f * t, 0.003f}, false);
        put_field(payload, 0x07, {1e-6f, 2e-6f, 3e-6f}, false);
        put_field(payload, 0x08, {1e-5f, 2e-5f, -9.81e-3f}, false);
        put_field(payload, 0x17, {1013.25f - t}, false);
        put_frame(out, 0x80, payload);
        ++count;
        if (k % 10 == 0) {
            payload.clear();
            put_field(payload, 0x03, {1, 0, 0, 0}, true);
            put_field(payload, 0x0D, {0.1f, 0.2f, 0.3f}, true);
            put_field(payload, 0x0E, {0.01f, 0.02f, 0.03f}, true);
            put_field(payload, 0x12, {0.01f, 0.01f, 0.01f, 0.01f}, true);
            put_field(payload, 0x13, {0, 0, -9.80665f}, true);
            put_field(payload, 0x1C, {0, 0, -9.81f}, true);
            put_field(payload, 0x21, {t}, true);
            put_frame(out, 0x82, payload);
            ++count;
        }
    }
    if (frames) *frames = count;
    return out;
}

}  // namespace brimlet::bench
