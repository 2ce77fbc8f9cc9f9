#pragma once
// A whole recording decoded into columns: one array per value, one entry per
// packet in stream order. Plain C++; the brimlet_columns module hands the
// arrays to Python without copying them.
//
// The recording is fed to the frame scanner read by read, as the reader
// thread of a live parser would have received it, and every packet is stamped
// with the receive time of the read after which the scanner reached its
// frame (the time a live parser would have given it, less the decode time).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "common/expected.hpp"
#include "protocol/imu_packet.hpp"
#include "protocol/packet_schema.hpp"

namespace brimlet::columns {

// One data column per value of a data field: `scaled_accel_x`, ...,
// `est_orient_quaternion_w`, ... in property order.
struct DataColumn {
    std::string_view field;   // the packet property
    std::string_view suffix;  // "x", "0", ... or empty for a single value
};

extern const std::span<const DataColumn> kDataColumns;
// Bit k of `invalid` stands for schema::kValidityNames[k]; bit i of `present`
// for schema field i, carried by the packet (a NaN it carries is a value, not
// an absence); `kind` holds the codes of schema::PacketKind.

// An array of T from malloc, grown with realloc (which moves large blocks by
// remapping their pages, not by copying), handed over with release().
template <class T>
class Column {
public:
    Column() = default;
    Column(Column&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
    Column& operator=(Column&& other) noexcept {
        std::swap(data_, other.data_);
        return *this;
    }
    ~Column() { std::free(data_); }

    // false when the memory could not be had; the old contents stay.
    bool resize_capacity(std::size_t count) {
        void* grown = std::realloc(data_, count * sizeof(T) + (count == 0));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        return true;
    }
    T* data() { return data_; }
    const T* data() const { return data_; }
    // The caller owns the array now and frees it with std::free.
    [[nodiscard]] T* release() { return std::exchange(data_, nullptr); }

private:
    T* data_ = nullptr;
};

// What a decode passed over, besides the packets.
struct ScanTotals {
    std::uint64_t outside = 0;        // bytes outside valid frames (noise, damaged frames)
    std::uint64_t unfinished = 0;     // bytes at the end that begin a frame never completed
    std::uint64_t bad_checksums = 0;  // candidate frames whose checksum failed
    std::uint64_t other_frames = 0;   // valid frames of other descriptor sets
};

// The columns of `size` packets.
struct ColumnTable {
    std::size_t size = 0;
    std::size_t capacity = 0;
    // The data columns are NaN from `size` up to here: a packet then writes
    // only the values it carries, into memory that is already in the cache.
    std::size_t absent_until = 0;
    Column<std::int64_t> time;  // ns since the Unix epoch
    Column<std::uint8_t> kind;
    Column<std::uint16_t> invalid;
    Column<std::uint16_t> present;
    // Bytes outside valid frames between the packet frame before (or the
    // start) and this one: noise, damaged frames, lost pieces of frames
    // (at most 2^32 - 1).
    Column<std::uint32_t> skipped;
    Column<std::uint64_t> end;  // offset in the stream of the byte after the frame
    std::unique_ptr<Column<float>[]> data;  // kDataColumns.size() columns
    ScanTotals scan;

    ColumnTable();
    // Room for `count` packets in every column; false when out of memory.
    bool reserve(std::size_t count);
    // Appends one packet, stamped `time`, whose frame ends at stream offset
    // `end`; false when out of memory.
    bool append(const IMUPacket& packet, std::int64_t time, std::uint64_t end);
};

// The reads of a recording: after read k the recording was ends[k] bytes long
// and the read returned at times[k] (ns). Both the same length.
struct ReadTimes {
    std::span<const std::uint64_t> ends;
    std::span<const std::int64_t> times;
};

struct DecodeError {
    enum class Kind { out_of_memory, read_failed, ended_early } kind;
    int error_number = 0;     // of read_failed
    std::uint64_t bytes = 0;  // of ended_early: what the file held after all
};

// Decodes `stream` read by read. Bytes past the last read (all of them when
// `reads` is empty) are fed on after it and stamped with its time (0 when
// there is none). Never fails but for memory.
Expected<ColumnTable, DecodeError> decode_columns(std::span<const std::uint8_t> stream, ReadTimes reads);

// The same for the first `length` bytes of the file open at `fd`, read
// (never mapped) piece by piece into the scanner's buffer. A file that ends
// before `length` bytes (it shrank) fails with ended_early, a failed read
// with read_failed and its errno; the file position is not used.
Expected<ColumnTable, DecodeError> decode_file_columns(int fd, std::uint64_t length, ReadTimes reads);

}  // namespace brimlet::columns
