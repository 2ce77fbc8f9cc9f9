#include "live/capture_feed.hpp"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <span>
#include <system_error>
#include <utility>

#include "protocol/frame_scanner.hpp"

namespace brimlet::live {

namespace {

std::int64_t clock_ns(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Keeps count of what the scan finds; the packets themselves are not kept.
struct Tally {
    CaptureCounts& counts;
    bool send_all(std::span<const IMUPacket> packets) {
        for (const IMUPacket& p : packets) ++counts.packets[static_cast<std::size_t>(p.kind)];
        return true;
    }
    void outside(std::size_t bytes) { counts.outside += bytes; }
    void bad_checksum() { ++counts.bad_checksums; }
    void other_frame() { ++counts.other_frames; }
    std::uint32_t packet_frame(std::size_t) { return 0; }
};

Timestamp no_stamp() { return 0; }

}  // namespace

CaptureFeed::CaptureFeed(std::unique_ptr<ByteSource> source, std::shared_ptr<Readiness> readiness,
                         std::size_t backlog)
    : source_(std::move(source)), readiness_(std::move(readiness)), backlog_(backlog) {}

Expected<std::unique_ptr<CaptureFeed>, std::string> CaptureFeed::start(std::unique_ptr<ByteSource> source,
                                                                       std::size_t backlog) {
    auto readiness = Readiness::make();
    if (!readiness) return Unexpected(std::move(readiness.error()));
    std::unique_ptr<CaptureFeed> feed(new CaptureFeed(std::move(source), std::move(*readiness), backlog));
    try {
        feed->reader_ = std::thread([f = feed.get()] { f->run(); });
    } catch (const std::system_error& e) {
        return Unexpected(std::string(e.what()));
    }
    return feed;
}

CaptureFeed::~CaptureFeed() {
    running_.store(false, std::memory_order_relaxed);
    if (reader_.joinable()) reader_.join();
}

void CaptureFeed::run() {
    std::vector<std::uint8_t> pending;  // what may still begin a frame
    CaptureCounts counts;
    std::vector<std::uint8_t> buffer(kCaptureReadSize);
    for (;;) {
        ReadResult got = source_->read(buffer, running_);
        CapturedRead read{{}, clock_ns(CLOCK_REALTIME), boot_clock_ns()};
        // A stop ends the run quietly, whatever the interrupted wait said.
        if (!running_.load(std::memory_order_relaxed)) return end(std::nullopt);
        // A signal that lands on this thread interrupts its wait, no more.
        if (!got && got.error().error_number == EINTR) continue;
        if (!got) return end(std::move(got.error()));
        if (*got == 0) return end(std::nullopt);
        read.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*got));
        counts.bytes += *got;
        pending.insert(pending.end(), read.bytes.begin(), read.bytes.end());
        Tally tally{counts};
        scan_frames(pending, tally, no_stamp);
        counts.finished = counts.bytes - pending.size();
        if (!queue(std::move(read), counts)) return;
    }
}

bool CaptureFeed::queue(CapturedRead read, const CaptureCounts& counts) {
    std::lock_guard guard(lock_);
    queued_bytes_ += read.bytes.size();
    queued_.push_back(std::move(read));
    counts_ = counts;
    readiness_->show(true);
    if (queued_bytes_ <= backlog_) return true;
    ended_ = true;
    failure_ = SourceFailure{"capture overrun: " + std::to_string(queued_bytes_) +
                             " bytes read and not yet taken; the reading stopped"};
    return false;
}

void CaptureFeed::end(std::optional<SourceFailure> failure) {
    std::lock_guard guard(lock_);
    failure_ = std::move(failure);
    ended_ = true;
    readiness_->show(true);
}

bool CaptureFeed::wait(std::chrono::milliseconds wait) const {
    pollfd entry{readiness_->fd(), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
}

CaptureTaken CaptureFeed::take() {
    std::lock_guard guard(lock_);
    CaptureTaken taken;
    taken.reads = std::exchange(queued_, {});
    queued_bytes_ = 0;
    taken.counts = counts_;
    if (taken.reads.empty()) {
        taken.failure = std::exchange(failure_, std::nullopt);
        taken.ended = ended_;
    }
    readiness_->show(ended_);
    return taken;
}

}  // namespace brimlet::live
