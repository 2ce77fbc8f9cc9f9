#include "live/live_feed.hpp"

#include <poll.h>

#include <cstdint>
#include <new>
#include <utility>

namespace brimlet::columns {

namespace {

// The packets of `batch` as new columns, stamped with their receive and
// boot times.
Expected<LiveBatch, DecodeError> batch_table(PacketBatch batch) {
    LiveBatch out;
    const std::size_t n = batch.size();
    if (!out.table.reserve(n) || !out.boot.resize_capacity(n)) {
        return Unexpected(DecodeError{DecodeError::Kind::out_of_memory});
    }
    bool ok = true;
    std::size_t row = 0;
    batch.consume([&](IMUPacket&& packet) {
        // The receive time in ns since the epoch, which the low 64 bits hold;
        // where the frame lay in the stream is not kept, what came before it is.
        ok = ok && out.table.append(packet, static_cast<std::int64_t>(packet.time_low), 0);
        if (ok && row < n) out.boot.data()[row++] = packet.boot;
    });
    if (!ok) return Unexpected(DecodeError{DecodeError::Kind::out_of_memory});
    return out;
}

}  // namespace

LiveFeed::LiveFeed(std::unique_ptr<ByteSource> source, std::shared_ptr<Readiness> readiness)
    : readiness_(std::move(readiness)), engine_(std::move(source)) {
    engine_.watch_packets(readiness_);
    engine_.count_scans(counts_);
}

Expected<std::unique_ptr<LiveFeed>, std::string> LiveFeed::start(std::unique_ptr<ByteSource> source) {
    auto readiness = Readiness::make();
    if (!readiness) return Unexpected(std::move(readiness.error()));
    std::unique_ptr<LiveFeed> feed(new LiveFeed(std::move(source), std::move(*readiness)));
    if (auto started = feed->engine_.start(); !started) return Unexpected(std::move(started.error().message));
    return feed;
}

bool LiveFeed::wait(std::chrono::milliseconds wait) const {
    pollfd entry{readiness_->fd(), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
}

Expected<Taken, DecodeError> LiveFeed::take() {
    PacketBatch batch = *engine_.collect_packets(std::nullopt);
    if (!batch.empty()) return batch_table(std::move(batch));
    // The reader queues its failure after its last packets, then ends. Seen
    // here, the failure may have come with packets after the drain above:
    // they are all queued now, and go out before it.
    if (!failure_) failure_ = engine_.take_reader_error();
    if (failure_) {
        batch = *engine_.collect_packets(std::nullopt);
        if (!batch.empty()) return batch_table(std::move(batch));
        return ReadFailed{*std::exchange(failure_, std::nullopt)};
    }
    if (engine_.packets_done()) return Ended{};
    LiveBatch none;
    if (!none.table.reserve(0) || !none.boot.resize_capacity(0)) {
        return Unexpected(DecodeError{DecodeError::Kind::out_of_memory});
    }
    return none;
}

}  // namespace brimlet::columns
