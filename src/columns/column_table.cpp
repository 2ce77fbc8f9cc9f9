#include "columns/column_table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace brimlet::columns {

static_assert(sizeof(ColumnTable{}.present.data()[0]) * 8 >= schema::kFieldCount &&
                  sizeof(IMUPacket{}.present) <= sizeof(std::uint16_t),
              "the present column holds one bit per schema field");

namespace {

using schema::kFields;

constexpr std::size_t column_count() {
    std::size_t n = 0;
    for (const auto& f : kFields) n += f.width;
    return n;
}

// The data columns: each schema field's values in turn, in property order.
constexpr auto kColumns = [] {
    constexpr std::string_view vector[] = {"x", "y", "z"};
    constexpr std::string_view quaternion[] = {"w", "x", "y", "z"};  // the device's order
    std::array<DataColumn, column_count()> out{};
    std::size_t c = 0;
    for (const auto& f : kFields) {
        for (std::size_t k = 0; k < f.width; ++k) {
            out[c++] = {f.name, f.width == 1 ? std::string_view{} : f.width == 3 ? vector[k] : quaternion[k]};
        }
    }
    return out;
}();

// The column of each field's first value.
constexpr auto kFirstColumn = [] {
    std::array<std::size_t, kFields.size()> first{};
    std::size_t c = 0;
    for (std::size_t f = 0; f < kFields.size(); ++f) {
        first[f] = c;
        c += kFields[f].width;
    }
    return first;
}();

// The fields of each kind, in schema order.
constexpr auto kFieldsOfKind = [] {
    std::array<std::array<std::uint8_t, kFields.size()>, schema::kKindCount> fields{};
    std::array<std::size_t, schema::kKindCount> count{};
    for (std::size_t f = 0; f < kFields.size(); ++f) {
        const auto k = static_cast<std::size_t>(kFields[f].kind);
        fields[k][count[k]++] = static_cast<std::uint8_t>(f);
    }
    return std::pair{fields, count};
}();

// Packets whose data columns are made NaN at once, ahead of them: small
// enough to stay in the cache until the packets come (34 columns of 4 KiB).
constexpr std::size_t kAbsentAhead = 1024;

// Bytes handed to the scanner at once: a long read is fed in pieces, which
// finds the same frames (the scanner keeps an incomplete frame for the next).
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Packets reserved per byte of stream at first: frames are 68 and 118 bytes
// long in a typical stream, and the table grows by doubling when needed.
constexpr std::size_t kBytesPerPacketGuess = 64;

}  // namespace

const std::span<const DataColumn> kDataColumns{kColumns};

namespace {

// Takes the scanner's packets into the table, a batch whole or, when there
// is no memory for it, not at all (which ends the scan), and keeps the
// table's tally of what the scanner passes over.
struct TableSender {
    ColumnTable& table;
    bool out_of_memory = false;
    // The stream offset of the buffer being scanned, the bytes outside
    // frames since the last packet frame, and where the frame of each packet
    // of the batch being made ends.
    std::uint64_t base = 0;
    std::uint64_t since_packet = 0;
    std::array<std::uint64_t, kScanBatch> ends{};
    std::size_t found = 0;

    void outside(std::size_t bytes) {
        since_packet += bytes;
        table.scan.outside += bytes;
    }
    void bad_checksum() { ++table.scan.bad_checksums; }
    void other_frame() { ++table.scan.other_frames; }
    std::uint32_t packet_frame(std::size_t end) {
        constexpr std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
        ends[found++] = base + end;
        const auto skipped = static_cast<std::uint32_t>(std::min(since_packet, most));
        since_packet = 0;
        return skipped;
    }

    bool send_all(std::span<const IMUPacket> packets) {
        const std::size_t needed = table.size + packets.size();
        if (needed > table.capacity && !table.reserve(std::max(table.capacity * 2, needed))) {
            out_of_memory = true;
            return false;
        }
        // The stamp is a receive time in nanoseconds since the epoch, which
        // the low 64 bits hold (as two's complement, for a time before 1970).
        for (std::size_t k = 0; k < packets.size(); ++k) {
            table.append(packets[k], static_cast<std::int64_t>(packets[k].time_low), ends[k]);
        }
        found = 0;
        return true;
    }
};
static_assert(ScanTally<TableSender>);

}  // namespace

ColumnTable::ColumnTable() : data(std::make_unique<Column<float>[]>(kColumns.size())) {}

bool ColumnTable::reserve(std::size_t count) {
    count = std::max(count, size);
    absent_until = std::min(absent_until, count);
    bool ok = time.resize_capacity(count) && kind.resize_capacity(count) && invalid.resize_capacity(count) &&
              present.resize_capacity(count) && skipped.resize_capacity(count) &&
              end.resize_capacity(count);
    for (std::size_t c = 0; ok && c < kColumns.size(); ++c) ok = data[c].resize_capacity(count);
    // A column that did grow keeps its larger block; capacity is what all have.
    if (ok || count < capacity) capacity = count;
    return ok;
}

bool ColumnTable::append(const IMUPacket& packet, std::int64_t stamp, std::uint64_t frame_end) {
    const std::size_t i = size;
    if (i == absent_until) {
        if (i == capacity && !reserve(std::max<std::size_t>(1024, capacity * 2))) return false;
        const std::size_t n = std::min(kAbsentAhead, capacity - i);
        for (std::size_t c = 0; c < kColumns.size(); ++c) {
            std::fill_n(data[c].data() + i, n, std::numeric_limits<float>::quiet_NaN());
        }
        absent_until = i + n;
    }
    time.data()[i] = stamp;
    kind.data()[i] = static_cast<std::uint8_t>(packet.kind);
    std::uint16_t flags = 0;
    for (std::size_t k = 0; k < packet.flagged; ++k) flags |= static_cast<std::uint16_t>(1u << packet.invalid_code(k));
    invalid.data()[i] = flags;
    present.data()[i] = packet.present;
    skipped.data()[i] = packet.skipped;
    end.data()[i] = frame_end;
    const auto kind_index = static_cast<std::size_t>(packet.kind);
    const auto& [fields, count] = kFieldsOfKind;
    for (std::size_t n = 0; n < count[kind_index]; ++n) {
        const std::size_t f = fields[kind_index][n];
        if (!packet.has(f)) continue;
        const std::span<const float> values = packet.field_values(f);
        for (std::size_t k = 0; k < values.size(); ++k) data[kFirstColumn[f] + k].data()[i] = values[k];
    }
    size = i + 1;
    return true;
}

namespace {

// Decodes the `length` bytes that `append(buffer, n)` hands over in turn (up
// to n at a time, appended to the buffer; the count, or a failure), read by
// read as decode_columns says.
template <class Append>
Expected<ColumnTable, DecodeError> decode_pieces(std::uint64_t length, ReadTimes reads, Append append) {
    constexpr DecodeError kOutOfMemory{DecodeError::Kind::out_of_memory};
    ColumnTable table;
    if (!table.reserve(length / kBytesPerPacketGuess + 16)) return Unexpected(kOutOfMemory);
    TableSender sender{table};
    std::vector<std::uint8_t> buffer;
    std::uint64_t fed = 0;
    // The receive time of the read being fed (0 when there is none).
    Timestamp time = 0;
    const auto stamp = [&time] { return time; };
    // Feeds the stream up to `end` to the scanner.
    const auto feed_to = [&](std::uint64_t end) -> Expected<void, DecodeError> {
        while (fed < end) {
            const Expected<std::size_t, DecodeError> n = append(buffer, std::min<std::uint64_t>(end - fed, kPiece));
            if (!n) return Unexpected(n.error());
            fed += *n;
            sender.base = fed - buffer.size();
            scan_frames(buffer, sender, stamp);
            if (sender.out_of_memory) return Unexpected(kOutOfMemory);
        }
        return {};
    };
    const std::size_t count = std::min(reads.ends.size(), reads.times.size());
    for (std::size_t k = 0; k < count; ++k) {
        time = static_cast<Timestamp>(static_cast<std::uint64_t>(reads.times[k]));
        if (auto fed_to = feed_to(std::min(reads.ends[k], length)); !fed_to) return Unexpected(fed_to.error());
    }
    if (auto fed_to = feed_to(length); !fed_to) return Unexpected(fed_to.error());
    table.scan.unfinished = buffer.size();
    table.reserve(table.size);  // gives back what the guess took too much
    return table;
}

}  // namespace

Expected<ColumnTable, DecodeError> decode_columns(std::span<const std::uint8_t> stream, ReadTimes reads) {
    std::size_t taken = 0;
    return decode_pieces(stream.size(), reads, [&](std::vector<std::uint8_t>& buffer, std::size_t n) {
        buffer.insert(buffer.end(), stream.begin() + taken, stream.begin() + taken + n);
        taken += n;
        return Expected<std::size_t, DecodeError>(n);
    });
}

namespace {

// Reads `out.size()` bytes of the file at `fd` from `offset`: the count, an
// ended_early error when the file ends first, or read_failed.
Expected<std::size_t, DecodeError> read_at(int fd, std::span<std::uint8_t> out, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t r = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r == 0) {
            return Unexpected(DecodeError{DecodeError::Kind::ended_early, 0, offset + got});
        } else if (errno != EINTR) {
            return Unexpected(DecodeError{DecodeError::Kind::read_failed, errno, 0});
        }
    }
    return got;
}

}  // namespace

Expected<ColumnTable, DecodeError> decode_file_columns(int fd, std::uint64_t length, ReadTimes reads) {
    // The file is read kPiece bytes at a time whatever the reads of the
    // recording were: a capture's reads are often a frame or two long, and
    // a system call for each would cost far more than decoding them.
    std::vector<std::uint8_t> ahead;
    std::size_t taken = 0;  // of `ahead`, handed over
    std::uint64_t offset = 0;  // of the file, read into `ahead`
    return decode_pieces(length, reads, [&](std::vector<std::uint8_t>& buffer, std::size_t n)
                                            -> Expected<std::size_t, DecodeError> {
        if (taken == ahead.size()) {
            ahead.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - offset)));
            taken = 0;
            const Expected<std::size_t, DecodeError> got = read_at(fd, ahead, offset);
            if (!got) return got;
            offset += *got;
        }
        const std::size_t count = std::min(n, ahead.size() - taken);
        buffer.insert(buffer.end(), ahead.begin() + static_cast<std::ptrdiff_t>(taken),
                      ahead.begin() + static_cast<std::ptrdiff_t>(taken + count));
        taken += count;
        return count;
    });
}

}  // namespace brimlet::columns
