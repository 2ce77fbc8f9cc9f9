#include "parser/reader_loop.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace brimlet {
namespace {

// Hands each pass's packets to the channel. A source whose reads may wait
// gets its packets to a waiting receiver at once; a regular file, read as
// fast as it goes, wakes the receiver only once a good batch is queued, the
// receiver has waited a while, or the run ends, not for every read.
struct ChannelSender {
    const Sender<IMUPacket>& out;
    std::size_t wake_at;
    bool send_all(std::span<const IMUPacket> packets) { return out.send_all(packets, wake_at, kPatience); }
    void read(std::size_t) {}
};

// The same, counting what the scanner passes over as it goes; each packet
// keeps the bytes passed over just before its frame, so that a gap in the
// line shows where it lies, and the boot clock read just after its wall
// clock stamp.
struct CountingSender : ChannelSender {
    ScanCounts& counts;
    std::uint64_t since_packet = 0;
    static constexpr bool kStampsBoot = true;

    void read(std::size_t bytes) { counts.bytes.fetch_add(bytes, std::memory_order_relaxed); }
    void outside(std::size_t bytes) {
        since_packet += bytes;
        counts.outside.fetch_add(bytes, std::memory_order_relaxed);
    }
    void bad_checksum() { counts.bad_checksums.fetch_add(1, std::memory_order_relaxed); }
    void other_frame() { counts.other_frames.fetch_add(1, std::memory_order_relaxed); }
    std::uint32_t packet_frame(std::size_t) {
        constexpr std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
        const auto skipped = static_cast<std::uint32_t>(std::min(since_packet, most));
        since_packet = 0;
        return skipped;
    }
};

// Reads and scans until the run ends; the scan's packets go to `sender`.
template <class S>
void read_and_scan(RunContext& context, S& sender) {
    std::vector<std::uint8_t> buffer;
    buffer.reserve(kInitialBufferCapacity);
    std::atomic<bool>& running = *context.running;
    while (running.load(std::memory_order_relaxed)) {
        const std::size_t filled = buffer.size();
        if (buffer.capacity() - filled < kReadSize) buffer.reserve(std::max(2 * buffer.capacity(), filled + kReadSize));
        buffer.resize(filled + kReadSize);
        ReadResult got = context.source->read(std::span(buffer.data() + filled, kReadSize), running);
        if (!got) {
            buffer.resize(filled);
            (void)context.errors.send(std::move(got.error()));
            running.store(false, std::memory_order_relaxed);
            break;
        }
        if (*got == 0) {
            running.store(false, std::memory_order_relaxed);
            break;
        }
        buffer.resize(filled + *got);
        sender.read(*got);
        scan_frames(buffer, sender);
    }
}

}  // namespace

std::unique_ptr<ByteSource> reader_loop(RunContext context) {
    const ChannelSender plain{context.packets, context.source->reads_wait() ? 1 : kDeferredWake};
    if (context.counts) {
        CountingSender sender{plain, *context.counts};
        read_and_scan(context, sender);
    } else {
        ChannelSender sender = plain;
        read_and_scan(context, sender);
    }
    context.packets.finish();
    return std::move(context.source);
}

}  // namespace brimlet
