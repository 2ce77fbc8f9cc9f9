#pragma once
// A byte source is what the reader thread reads the device stream from: a
// serial line or a recording. One thread uses it at a time; it can be moved
// between threads. Destroying it releases (closes) it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.hpp"

namespace brimlet {

// Why a source could not be opened or read: the text the system shows, and
// the system error number behind it (0 where there is none: a lock held by
// another process, settings the driver would not take, a wait that ran out).
// The number travels beside the text so that a caller can tell the kinds
// apart without reading the words.
struct SourceFailure {
    std::string text;
    int error_number = 0;

    friend bool operator==(const SourceFailure&, const SourceFailure&) = default;
    // Whether the failure shows `shown`, whatever its number.
    friend bool operator==(const SourceFailure& failure, std::string_view shown) { return failure.text == shown; }
};

// A count of bytes filled (1..span size), 0 at end of data, or the failure.
using ReadResult = Expected<std::size_t, SourceFailure>;

// How long a read that waits for input goes without looking at its
// keep-going flag: the bound on how late a stop is noticed.
inline constexpr std::chrono::milliseconds kStopCheckInterval{100};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Blocks until bytes arrive, data ends, or the read fails. A read whose
    // wait for input has no end of its own (a pipe, or a serial line without
    // a usable timeout) looks at `keep_going` at least every
    // kStopCheckInterval; once it is false, the read ends as its source ends
    // an unfinished wait (each source says how). A bounded wait runs its course.
    virtual ReadResult read(std::span<std::uint8_t> into, const std::atomic<bool>& keep_going) = 0;

    // The same read, with nobody to stop it.
    ReadResult read(std::span<std::uint8_t> into) {
        static const std::atomic<bool> always{true};
        return read(into, always);
    }
    // Whether a read may wait for bytes to arrive (a line, a pipe); false for
    // a regular file, whose reads return at once until its end.
    virtual bool reads_wait() const { return true; }
};

using OpenResult = Expected<std::unique_ptr<ByteSource>, SourceFailure>;

}  // namespace brimlet
