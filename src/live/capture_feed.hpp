#pragma once
// A byte-exact capture of a live line: a reader thread reads the source,
// stamps each read as it returns with the wall clock and the clock that
// never steps, and scans the bytes for frames, so that the consumer knows
// how many packets of each kind came and where the last whole frame ended.
// Plain C++; the brimlet_columns module's Capture wraps it.
//
// Nothing is dropped: reads queue until taken. A consumer that falls more
// than kCaptureBacklog bytes behind ends the run with an overrun failure,
// after everything read before it.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/expected.hpp"
#include "parser/readiness.hpp"
#include "protocol/packet_schema.hpp"
#include "serial/byte_source.hpp"

namespace brimlet::live {

// Bytes read but not yet taken at which a run gives up: minutes of any line.
inline constexpr std::size_t kCaptureBacklog = std::size_t{256} << 20;
inline constexpr std::size_t kCaptureReadSize = 65536;

// One read as it returned: its bytes, and when (ns, CLOCK_REALTIME and CLOCK_BOOTTIME).
struct CapturedRead {
    std::vector<std::uint8_t> bytes;
    std::int64_t received_ns = 0;
    std::int64_t boot_ns = 0;
};

// What the scan has found in the stream up to the last read taken.
struct CaptureCounts {
    std::uint64_t bytes = 0;     // read in all
    std::uint64_t finished = 0;  // done with: whole frames and bytes outside them
    std::uint64_t outside = 0;   // outside valid frames
    std::uint64_t bad_checksums = 0;
    std::uint64_t other_frames = 0;
    std::array<std::uint64_t, schema::kKindCount> packets{};  // packet frames by kind
};

// Everything queued since the last take, in order, and the counts as of its
// last read; once the queue is empty, the failure that ended the run (told
// once), and whether the run has ended.
struct CaptureTaken {
    std::vector<CapturedRead> reads;
    CaptureCounts counts;
    std::optional<SourceFailure> failure;
    bool ended = false;
};

class CaptureFeed {
public:
    // Starts reading `source`; the failure's text when the readiness
    // descriptor or the thread cannot be had. `backlog`: see kCaptureBacklog.
    static Expected<std::unique_ptr<CaptureFeed>, std::string> start(std::unique_ptr<ByteSource> source,
                                                                     std::size_t backlog = kCaptureBacklog);
    CaptureFeed(const CaptureFeed&) = delete;
    CaptureFeed& operator=(const CaptureFeed&) = delete;
    // Stops and joins the reader, then closes the source.
    ~CaptureFeed();

    // Readable while reads are queued and once the run has ended.
    int fd() const { return readiness_->fd(); }
    // Waits at most `wait` for the descriptor to be readable; true when it is.
    bool wait(std::chrono::milliseconds wait) const;
    CaptureTaken take();

private:
    CaptureFeed(std::unique_ptr<ByteSource> source, std::shared_ptr<Readiness> readiness, std::size_t backlog);
    void run();
    // Queues a read; false when that ends the run with an overrun.
    bool queue(CapturedRead read, const CaptureCounts& counts);
    void end(std::optional<SourceFailure> failure);

    std::unique_ptr<ByteSource> source_;
    std::shared_ptr<Readiness> readiness_;
    std::size_t backlog_;
    std::atomic<bool> running_{true};
    mutable std::mutex lock_;  // guards what follows
    std::vector<CapturedRead> queued_;
    std::size_t queued_bytes_ = 0;
    CaptureCounts counts_;
    std::optional<SourceFailure> failure_;
    bool ended_ = false;
    std::thread reader_;  // last: started once the rest is made
};

}  // namespace brimlet::live
