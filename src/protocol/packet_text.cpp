#include "protocol/packet_text.hpp"

#include <charconv>
#include <span>
#include <string_view>
#include <system_error>

namespace brimlet {

namespace {

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

void append_f32(std::string& out, float value) {
    char buf[kF32TextMax];
    out.append(buf, write_f32(buf, value));
}

void append_values(std::string& out, std::span<const float> values) {
    if (values.size() == 1) {
        append_f32(out, values[0]);
        return;
    }
    out += '[';
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k) out += ", ";
        append_f32(out, values[k]);
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
