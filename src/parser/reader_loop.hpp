#pragma once
// The body of the reader thread: read, scan, repeat while the running flag
// holds; a read failure is queued, end of data ends quietly. A read
// whose wait has no end of its own looks at the flag too, so a cleared flag
// ends the run within about kStopCheckInterval even on a source that stays
// silent; a bounded wait (a serial timeout) is waited out.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "parser/channel.hpp"
#include "protocol/imu_packet.hpp"
#include "serial/byte_source.hpp"

namespace brimlet {

inline constexpr std::size_t kReadSize = 2048;
inline constexpr std::size_t kInitialBufferCapacity = 4096;
// For a source that never waits (a regular file): packets queued before a
// waiting receiver is woken, unless it has waited kPatience already.
inline constexpr std::size_t kDeferredWake = 4096;
inline constexpr std::chrono::steady_clock::duration kPatience = std::chrono::milliseconds(1);

// What the scanner passes over in the runs of an engine that counts it (for
// a live source that reports the line's health); read from any thread.
struct ScanCounts {
    std::atomic<std::uint64_t> bytes{0};          // bytes read from the source
    std::atomic<std::uint64_t> outside{0};        // bytes outside valid frames
    std::atomic<std::uint64_t> bad_checksums{0};  // candidate frames whose checksum failed
    std::atomic<std::uint64_t> other_frames{0};   // valid frames of other descriptor sets
};

// What one run owns, moved into its thread.
struct RunContext {
    Sender<IMUPacket> packets;
    Sender<SourceFailure> errors;
    std::shared_ptr<std::atomic<bool>> running;
    std::unique_ptr<ByteSource> source;
    std::shared_ptr<ScanCounts> counts;  // null: nothing counted
};

// Runs on the reader thread; returns the source when the run ends.
std::unique_ptr<ByteSource> reader_loop(RunContext context);

}  // namespace brimlet
