#pragma once
// Rows of decoded columns as text, one line per packet: CSV, JSON lines or
// the packet's own text form. Plain C++. Every value is written by write_f32,
// as the packet's text form writes it; a field the packet does not carry is
// empty cells in CSV, null in JSON lines and None in the text form.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "columns/column_table.hpp"
#include "common/expected.hpp"

namespace brimlet::columns {

// Columns laid out as a ColumnTable's, `size` rows each; `data` holds one
// pointer per kDataColumns entry, in that order.
struct ColumnsView {
    std::size_t size = 0;
    const std::int64_t* time = nullptr;
    const std::uint8_t* kind = nullptr;
    const std::uint16_t* invalid = nullptr;
    const std::uint16_t* present = nullptr;
    std::span<const float* const> data;
};

// csv and jsonl: the cells of the outputs' layout; packet: each row as the
// packet it was decoded from, in packet_text's form, its "time" as the
// packet's timestamp and its flagged fields in wire order (a packet's payload
// order where its fields come in the device's order).
enum class TextFormat { csv, jsonl, packet };

// The JSON keys of a line: packet type, time and flagged names, then one per
// schema field in property order. Each is written between quotes as it is.
struct JsonKeys {
    std::span<const std::string_view> leading;  // 3
    std::span<const std::string_view> fields;   // schema::kFieldCount
};

enum class TextError {
    unknown_kind,     // a kind code with no packet type
    unknown_invalid,  // an invalid bit with no validity name
};

// The lines of every row of `columns`, each ended by "\n": CSV cells in
// column order (the flagged names quoted when there are several), JSON
// objects keyed by `keys`, or the packets' text form. Throws std::bad_alloc when out of memory.
Expected<std::string, TextError> column_text(const ColumnsView& columns, TextFormat format,
                                                  const JsonKeys& keys);

}  // namespace brimlet::columns
