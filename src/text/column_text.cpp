#include "text/column_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "protocol/float_text.hpp"
#include "protocol/imu_packet.hpp"
#include "protocol/packet_schema.hpp"
#include "protocol/packet_text.hpp"

namespace brimlet::columns {

namespace {

using schema::kFields;

// A buffer written through a pointer, grown ahead of each row by the most
// that a row can take (so no value is ever checked for room).
class LineBuffer {
public:
    explicit LineBuffer(std::size_t row_max) : row_max_(row_max) {}

    // Room for one more row; the pointer to write it at.
    char* row() {
        if (text_.size() - used_ < row_max_) text_.resize(std::max(text_.size() * 2, used_ + row_max_));
        return text_.data() + used_;
    }
    // The row written up to `end`.
    void done(const char* end) { used_ = static_cast<std::size_t>(end - text_.data()); }
    std::string take() {
        text_.resize(used_);
        return std::move(text_);
    }

private:
    std::string text_;
    std::size_t used_ = 0;
    std::size_t row_max_;
};

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* put_int(char* out, std::int64_t value) { return std::to_chars(out, out + 24, value).ptr; }

// The names of the bits set in `mask`, in bit order, joined with ",".
char* put_invalid_names(char* out, std::uint16_t mask) {
    bool first = true;
    for (std::size_t k = 0; k < schema::kValidityCount; ++k) {
        if (!(mask >> k & 1u)) continue;
        if (!first) *out++ = ',';
        out = put(out, schema::kValidityNames[k]);
        first = false;
    }
    return out;
}

std::size_t names_length() {
    std::size_t n = 2 + schema::kValidityCount;  // quotes and commas
    for (std::string_view name : schema::kValidityNames) n += name.size();
    return n;
}

std::size_t longest_kind() {
    std::size_t n = 0;
    for (std::string_view name : schema::kKindNames) n = std::max(n, name.size());
    return n;
}

constexpr std::size_t kIntMax = 24;

std::size_t row_max(std::size_t values, const JsonKeys& keys) {
    std::size_t n = longest_kind() + kIntMax + names_length() + values * (kF32TextMax + 1) + 64;
    for (std::string_view key : keys.leading) n += key.size() + 8;
    for (std::string_view key : keys.fields) n += key.size() + 8;
    return n;
}

char* csv_row(char* out, const ColumnsView& c, std::size_t i) {
    out = put(out, schema::kKindNames[c.kind[i]]);
    *out++ = ',';
    out = put_int(out, c.time[i]);
    *out++ = ',';
    const std::uint16_t invalid = c.invalid[i];
    const bool several = (invalid & (invalid - 1)) != 0;  // their names hold a comma
    if (several) *out++ = '"';
    out = put_invalid_names(out, invalid);
    if (several) *out++ = '"';
    std::size_t column = 0;
    for (std::size_t f = 0; f < kFields.size(); ++f) {
        const bool carried = c.present[i] >> f & 1u;
        for (std::size_t k = 0; k < kFields[f].width; ++k, ++column) {
            *out++ = ',';
            if (carried) out = write_f32(out, c.data[column][i], kTextWords);
        }
    }
    *out++ = '\n';
    return out;
}

char* json_key(char* out, std::string_view key, bool first) {
    if (!first) *out++ = ',';
    *out++ = '"';
    out = put(out, key);
    return put(out, "\":");
}

char* json_row(char* out, const ColumnsView& c, std::size_t i, const JsonKeys& keys) {
    *out++ = '{';
    out = json_key(out, keys.leading[0], true);
    *out++ = '"';
    out = put(out, schema::kKindNames[c.kind[i]]);
    *out++ = '"';
    out = json_key(out, keys.leading[1], false);
    out = put_int(out, c.time[i]);
    out = json_key(out, keys.leading[2], false);
    if (c.invalid[i] == 0) {
        out = put(out, "null");
    } else {
        *out++ = '"';
        out = put_invalid_names(out, c.invalid[i]);
        *out++ = '"';
    }
    std::size_t column = 0;
    for (std::size_t f = 0; f < kFields.size(); ++f) {
        const std::size_t width = kFields[f].width;
        out = json_key(out, keys.fields[f], false);
        if (!(c.present[i] >> f & 1u)) {
            out = put(out, "null");
        } else if (width == 1) {
            out = write_f32(out, c.data[column][i], kJsonWords);
        } else {
            *out++ = '[';
            for (std::size_t k = 0; k < width; ++k) {
                if (k) *out++ = ',';
                out = write_f32(out, c.data[column + k][i], kJsonWords);
            }
            *out++ = ']';
        }
        column += width;
    }
    return put(out, "}\n");
}

// Row `i` as the packet it was decoded from: its kind, time, values and the
// fields flagged not valid (in wire order, which is bit order).
IMUPacket row_packet(const ColumnsView& c, std::size_t i) {
    IMUPacket p;
    p.kind = static_cast<PacketKind>(c.kind[i]);
    p.set_timestamp(static_cast<std::uint64_t>(c.time[i]));
    std::size_t column = 0;
    for (std::size_t f = 0; f < kFields.size(); ++f) {
        // A field of another kind has no place in the packet (its slots are
        // the kind's own fields').
        if (c.present[i] >> f & 1u && kFields[f].kind == p.kind) {
            p.present = static_cast<std::uint16_t>(p.present | 1u << f);
            const std::span<float> values = p.field_values(f);
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = c.data[column + k][i];
        }
        column += kFields[f].width;
    }
    for (std::size_t k = 0; k < schema::kValidityCount; ++k) {
        if (c.invalid[i] >> k & 1u) p.add_invalid(static_cast<std::uint8_t>(k));
    }
    return p;
}

std::string packet_lines(const ColumnsView& c) {
    std::string text;
    for (std::size_t i = 0; i < c.size; ++i) {
        text += packet_text(row_packet(c, i));
        text += '\n';
    }
    return text;
}

Expected<void, TextError> check(const ColumnsView& c) {
    const std::uint16_t known = static_cast<std::uint16_t>((1u << schema::kValidityCount) - 1);
    for (std::size_t i = 0; i < c.size; ++i) {
        if (c.kind[i] >= schema::kKindCount) return Unexpected(TextError::unknown_kind);
        if (c.invalid[i] & ~known) return Unexpected(TextError::unknown_invalid);
    }
    return {};
}

}  // namespace

Expected<std::string, TextError> column_text(const ColumnsView& columns, TextFormat format,
                                                  const JsonKeys& keys) {
    if (auto ok = check(columns); !ok) return Unexpected(ok.error());
    if (format == TextFormat::packet) return packet_lines(columns);
    LineBuffer buffer(row_max(columns.data.size(), keys));
    for (std::size_t i = 0; i < columns.size; ++i) {
        char* out = buffer.row();
        buffer.done(format == TextFormat::csv ? csv_row(out, columns, i) : json_row(out, columns, i, keys));
    }
    return buffer.take();
}

}  // namespace brimlet::columns
