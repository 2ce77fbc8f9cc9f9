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

void append_values(std::string& out, std::span<const float> values) {
    if (values.size() == 1) {
        out += format_f32(values[0]);
        return;
    }
    out += '[';
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k) out += ", ";
        out += format_f32(values[k]);
    }
    out += ']';
}

// Every field in property order, as `open`name`sep`value, ... `close`; absent
// ones as None.
std::string listing(const IMUPacket& p, std::string_view open, std::string_view sep, std::string_view close) {
    std::string out;
    out.reserve(512);
    out += "IMUPacket";
    out += open;
    const auto label = [&](std::string_view name) {
        out += name;
        out += sep;
    };
    label("packet_type");
    append_quoted(out, schema::kKindNames[static_cast<std::size_t>(p.kind)]);
    out += ", ";
    label("timestamp");
    out += format_u128(p.timestamp());
    out += ", ";
    label("invalid_fields");
    if (const std::optional<std::string> invalid = invalid_fields_text(p)) {
        out += "Some(";
        append_quoted(out, *invalid);
        out += ')';
    } else {
        out += "None";
    }
    for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
        out += ", ";
        label(schema::kFields[i].name);
        if (!p.has(i)) {
            out += "None";
            continue;
        }
        out += "Some(";
        append_values(out, p.field_values(i));
        out += ')';
    }
    out += close;
    return out;
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

// Digit by digit: to a strict C++23 library (g++ 12's), unsigned __int128 is no
// integer type that to_chars takes.
std::string format_u128(Timestamp value) {
    char buf[40];  // 2^128 has 39 digits
    char* first = buf + sizeof buf;
    do {
        *--first = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(first, buf + sizeof buf);
}

std::optional<std::string> invalid_fields_text(const IMUPacket& packet) {
    if (packet.flagged == 0) return std::nullopt;
    std::string text;
    for (std::size_t k = 0; k < packet.flagged; ++k) {
        if (k) text += ',';
        text += schema::kValidityNames[packet.invalid_code(k)];
    }
    return text;
}

std::string debug_listing(const IMUPacket& packet) { return listing(packet, " { ", ": ", " }"); }

// The listing in call shape: "(" for " { ", "=" for ": ", " )" for " }".
std::string packet_text(const IMUPacket& packet) { return listing(packet, "(", "=", " )"); }

}  // namespace brimlet
