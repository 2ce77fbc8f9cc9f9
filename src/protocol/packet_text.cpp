#include "protocol/packet_text.hpp"

#include <charconv>
#include <cmath>
#include <span>
#include <string_view>
#include <system_error>

namespace brimlet {

namespace {

// Shortest round-trip digits of `magnitude` (positive, finite, non-zero) and
// the decimal exponent of the first digit: value = d.ddd × 10^exponent.
struct Digits {
    std::string digits;
    int exponent = 0;
};

Digits shortest_digits(float magnitude) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e = text.find('e');
    Digits d;
    for (char c : text.substr(0, e))
        if (c != '.') d.digits += c;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), d.exponent);
    return d;
}

std::string exponent_form(const Digits& d) {
    std::string out(1, d.digits[0]);
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
    return out;
}

std::string decimal_form(const Digits& d) {
    const int count = static_cast<int>(d.digits.size());
    if (d.exponent < 0) return "0." + std::string(static_cast<std::size_t>(-d.exponent - 1), '0') + d.digits;
    const int whole = d.exponent + 1;
    if (count <= whole) return d.digits + std::string(static_cast<std::size_t>(whole - count), '0') + ".0";
    return d.digits.substr(0, static_cast<std::size_t>(whole)) + "." + d.digits.substr(static_cast<std::size_t>(whole));
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

template <std::size_t N>
void append_array(std::string& out, const std::optional<std::array<float, N>>& value) {
    if (!value) {
        out += "None";
        return;
    }
    out += "Some([";
    for (std::size_t k = 0; k < N; ++k) {
        if (k) out += ", ";
        out += format_f32((*value)[k]);
    }
    out += "])";
}

void append_value(std::string& out, const std::optional<float>& value) {
    if (!value) {
        out += "None";
        return;
    }
    out += "Some(";
    out += format_f32(*value);
    out += ')';
}

void append_value(std::string& out, const std::optional<Vec3>& value) { append_array(out, value); }
void append_value(std::string& out, const std::optional<Quat>& value) { append_array(out, value); }

void append_value(std::string& out, const std::optional<std::string>& value) {
    if (!value) {
        out += "None";
        return;
    }
    out += "Some(";
    append_quoted(out, *value);
    out += ')';
}

void append_field(std::string& out, std::string_view name, const auto& value) {
    out += ", ";
    out += name;
    out += ": ";
    append_value(out, value);
}

}  // namespace

std::string format_f32(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string out = std::signbit(value) ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return out + "0.0";
    const Digits d = shortest_digits(magnitude);
    const bool exponent = magnitude >= 1e16f || magnitude < 1e-4f;
    return out + (exponent ? exponent_form(d) : decimal_form(d));
}

std::string format_u128(Timestamp value) {
    char buf[40];  // 2^128 has 39 digits
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string debug_listing(const IMUPacket& p) {
    std::string out;
    out.reserve(512);
    out += "IMUPacket { packet_type: ";
    append_quoted(out, p.packet_type);
    out += ", timestamp: ";
    out += format_u128(p.timestamp);
    append_field(out, "invalid_fields", p.invalid_fields);
    append_field(out, "scaled_accel", p.scaled_accel);
    append_field(out, "scaled_gyro", p.scaled_gyro);
    append_field(out, "delta_vel", p.delta_vel);
    append_field(out, "delta_theta", p.delta_theta);
    append_field(out, "scaled_ambient_pressure", p.scaled_ambient_pressure);
    append_field(out, "est_pressure_alt", p.est_pressure_alt);
    append_field(out, "est_orient_quaternion", p.est_orient_quaternion);
    append_field(out, "est_attitude_uncert_quaternion", p.est_attitude_uncert_quaternion);
    append_field(out, "est_angular_rate", p.est_angular_rate);
    append_field(out, "est_compensated_accel", p.est_compensated_accel);
    append_field(out, "est_linear_accel", p.est_linear_accel);
    append_field(out, "est_gravity_vector", p.est_gravity_vector);
    out += " }";
    return out;
}

std::string packet_text(const IMUPacket& packet) {
    std::string listing = debug_listing(packet);
    // Rewrite the listing into call shape: the first " { " opens the call, the
    // closing "}" becomes ")", and every ": " separator becomes "=".
    if (const auto open = listing.find(" { "); open != std::string::npos) listing.replace(open, 3, "(");
    if (listing.ends_with('}')) {
        listing.pop_back();
        listing += ')';
    }
    std::string out;
    out.reserve(listing.size());
    for (std::size_t k = 0; k < listing.size();) {
        if (listing.compare(k, 2, ": ") == 0) {
            out += '=';
            k += 2;
        } else {
            out += listing[k++];
        }
    }
    return out;
}

}  // namespace brimlet
