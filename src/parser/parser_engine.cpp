#include "parser/parser_engine.hpp"

#include <pthread.h>

#include <cstdint>
#include <future>
#include <system_error>
#include <utility>

#include "parser/reader_loop.hpp"
#include "serial/errno_text.hpp"

namespace brimlet {

namespace {

// Counts the forks this process came out of as the child; a run remembers the
// count it was started under, so a copy of the engine in a child can tell that
// its run belongs to another process.
std::atomic<std::uint64_t> forks_as_child{0};

void count_fork_in_child() { forks_as_child.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t process_generation() {
    // Registered once, before the first run can exist.
    [[maybe_unused]] static const int registered = ::pthread_atfork(nullptr, nullptr, count_fork_in_child);
    return forks_as_child.load(std::memory_order_relaxed);
}

}  // namespace

// One run of the reader thread. The engine owns it; the thread only touches
// `context` (which it moves out at once) and, before it ends, `result`,
// `ended_normally` and `finished`. The engine reads the first two only after
// the join, which orders the handover.
struct ParserEngine::Run {
    RunContext context;
    std::unique_ptr<ByteSource> result;
    bool ended_normally = false;
    std::promise<void> finished;  // set as the thread's last act
    std::future<void> done;       // of `finished`, taken before the thread starts
    std::uint64_t generation = 0;
    std::thread thread;
};

std::unique_ptr<ParserEngine::Channels> ParserEngine::make_channels() {
    auto packets = make_channel<IMUPacket>();
    auto errors = make_channel<SourceFailure>();
    return std::make_unique<Channels>(Channels{
        .packets_in = std::move(packets.second),
        .errors_in = std::move(errors.second),
        .packets_out = std::move(packets.first),
        .errors_out = std::move(errors.first),
    });
}

ParserEngine::ParserEngine(std::unique_ptr<ByteSource> source)
    : channels_(make_channels()),
      running_(std::make_shared<std::atomic<bool>>(false)),
      source_(std::move(source)) {}

ParserEngine::~ParserEngine() { stop(); }

void ParserEngine::leave_run_of_parent() {
    if (!reader_ || reader_->generation == process_generation()) return;
    // Nothing of the parent's run is released here: its thread is not in this
    // process, and the channels' locks may be held for good.
    (void)reader_.release();
    (void)channels_.release();
    channels_ = make_channels();
    running_ = std::make_shared<std::atomic<bool>>(false);
}

Expected<void, InternalError> ParserEngine::start() {
    leave_run_of_parent();
    if (reader_ || !source_) return {};
    running_->store(true, std::memory_order_relaxed);
    auto run = std::make_unique<Run>(Run{
        .context = RunContext{channels_->packets_out, channels_->errors_out, running_, std::move(source_), counts_},
        .result = nullptr,
        .ended_normally = false,
        .finished = {},
        .done = {},
        .generation = process_generation(),
        .thread = {},
    });
    run->done = run->finished.get_future();
    try {
        run->thread = std::thread([r = run.get()] {
            try {
                r->result = reader_loop(std::move(r->context));
                r->ended_normally = true;
            } catch (...) {
                // An unexpected failure on the reader thread: its remains are
                // discarded by stop(), and the engine is left without a source.
            }
            r->finished.set_value();
        });
    } catch (const std::system_error& e) {
        // The thread was refused: nothing ran, so the engine takes its source
        // back and is idle again; a later start() tries anew.
        source_ = std::move(run->context.source);
        running_->store(false, std::memory_order_relaxed);
        return Unexpected(InternalError{"failed to spawn thread: " + file_errno_text(e.code().value())});
    }
    reader_ = std::move(run);
    return {};
}

void ParserEngine::stop() { (void)stop(InterruptCheck{}); }

Expected<void, Interrupted> ParserEngine::stop(const InterruptCheck& interrupted) {
    leave_run_of_parent();
    running_->store(false, std::memory_order_relaxed);
    if (!reader_) return {};
    if (interrupted) {
        while (reader_->done.wait_for(kInterruptCheckInterval) != std::future_status::ready) {
            if (interrupted()) return Unexpected(Interrupted{});
        }
    }
    std::unique_ptr<Run> run = std::move(reader_);
    run->thread.join();
    if (run->ended_normally) source_ = std::move(run->result);
    return {};
}

bool ParserEngine::is_running() {
    leave_run_of_parent();
    return running_->load(std::memory_order_relaxed);
}

void ParserEngine::watch_packets(std::shared_ptr<Readiness> readiness) {
    leave_run_of_parent();
    channels_->packets_in.watch(std::move(readiness));
}

bool ParserEngine::packets_done() {
    leave_run_of_parent();
    return channels_->packets_in.done();
}

std::optional<SourceFailure> ParserEngine::take_reader_error() {
    leave_run_of_parent();
    return channels_->errors_in.try_take();
}

// Waits until a packet is queued or `deadline` passes; with a check, in
// slices of kInterruptCheckInterval, asking it after each slice that ends
// empty before the deadline.
ParserEngine::Waited ParserEngine::wait_for_packets(std::chrono::steady_clock::time_point deadline,
                                                    const InterruptCheck& interrupted) {
    Receiver<IMUPacket>& in = channels_->packets_in;
    if (!interrupted) {
        if (deadline == std::chrono::steady_clock::time_point::max()) {
            in.wait();
            return Waited::arrived;
        }
        return in.wait_until(deadline) ? Waited::arrived : Waited::timed_out;
    }
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const auto slice_end = deadline - now > kInterruptCheckInterval ? now + kInterruptCheckInterval : deadline;
        if (in.wait_until(slice_end)) return Waited::arrived;
        if (slice_end == deadline) return Waited::timed_out;
        if (interrupted()) return Waited::interrupted;
    }
}

Expected<PacketBatch, std::variant<TimedOut, Interrupted>> ParserEngine::collect_packets(
    std::optional<std::chrono::nanoseconds> wait, const InterruptCheck& interrupted) {
    leave_run_of_parent();
    if (wait) {
        // Waiting for the first packet and then taking everything queued is
        // the same as taking the first and then the rest, without moving the
        // backlog one element at a time.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        // A deadline that cannot be represented means no deadline.
        const Clock::time_point deadline = *wait > Clock::time_point::max() - now
                                               ? Clock::time_point::max()
                                               : now + std::chrono::duration_cast<Clock::duration>(*wait);
        switch (wait_for_packets(deadline, interrupted)) {
            case Waited::arrived: break;
            case Waited::timed_out: return Unexpected(TimedOut{});
            case Waited::interrupted: return Unexpected(Interrupted{});
        }
    }
    return channels_->packets_in.drain();
}

}  // namespace brimlet
