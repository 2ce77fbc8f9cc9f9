#include "parser/parser_engine.hpp"

#include <system_error>
#include <utility>

#include "parser/reader_loop.hpp"
#include "serial/errno_text.hpp"

namespace brimlet {

// One run of the reader thread. The engine owns it; the thread only touches
// `context` (which it moves out at once) and, before it ends, `result` and
// `ended_normally`. The engine reads those only after the join, which orders
// the handover.
struct ParserEngine::Run {
    RunContext context;
    std::unique_ptr<ByteSource> result;
    bool ended_normally = false;
    std::thread thread;
};

namespace {

std::pair<Sender<IMUPacket>, Receiver<IMUPacket>> packet_channel() { return make_channel<IMUPacket>(); }
std::pair<Sender<std::string>, Receiver<std::string>> error_channel() { return make_channel<std::string>(); }

}  // namespace

ParserEngine::ParserEngine(std::unique_ptr<ByteSource> source)
    : ParserEngine(packet_channel(), error_channel(), std::move(source)) {}

ParserEngine::ParserEngine(std::pair<Sender<IMUPacket>, Receiver<IMUPacket>> packets,
                           std::pair<Sender<std::string>, Receiver<std::string>> errors,
                           std::unique_ptr<ByteSource> source)
    : packets_in_(std::move(packets.second)),
      errors_in_(std::move(errors.second)),
      running_(std::make_shared<std::atomic<bool>>(false)),
      packets_out_(std::move(packets.first)),
      errors_out_(std::move(errors.first)),
      source_(std::move(source)) {}

ParserEngine::~ParserEngine() { stop(); }

std::expected<void, InternalError> ParserEngine::start() {
    if (reader_ || !source_) return {};
    running_->store(true, std::memory_order_relaxed);
    auto run = std::make_unique<Run>(Run{
        .context = RunContext{packets_out_, errors_out_, running_, std::move(source_)},
        .result = nullptr,
        .ended_normally = false,
        .thread = {},
    });
    try {
        run->thread = std::thread([r = run.get()] {
            try {
                r->result = reader_loop(std::move(r->context));
                r->ended_normally = true;
            } catch (...) {
                // An unexpected failure on the reader thread: its remains are
                // discarded by stop(), and the engine is left without a source.
            }
        });
    } catch (const std::system_error& e) {
        // The thread was refused: nothing ran, so the engine takes its source
        // back and is idle again; a later start() tries anew.
        source_ = std::move(run->context.source);
        running_->store(false, std::memory_order_relaxed);
        return std::unexpected(InternalError{"failed to spawn thread: " + file_errno_text(e.code().value())});
    }
    reader_ = std::move(run);
    return {};
}

void ParserEngine::stop() {
    running_->store(false, std::memory_order_relaxed);
    if (!reader_) return;
    std::unique_ptr<Run> run = std::move(reader_);
    run->thread.join();
    if (run->ended_normally) source_ = std::move(run->result);
}

bool ParserEngine::is_running() const { return running_->load(std::memory_order_relaxed); }

std::optional<std::string> ParserEngine::take_reader_error() { return errors_in_.try_take(); }

std::expected<PacketBatch, TimedOut> ParserEngine::collect_packets(
    std::optional<std::chrono::nanoseconds> wait) {
    if (wait) {
        // Waiting for the first packet and then taking everything queued is
        // the same as taking the first and then the rest, without moving the
        // backlog one element at a time.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        if (*wait > Clock::time_point::max() - now) {
            packets_in_.wait();  // the deadline cannot be represented
        } else if (!packets_in_.wait_until(now + std::chrono::duration_cast<Clock::duration>(*wait))) {
            return std::unexpected(TimedOut{});
        }
    }
    return packets_in_.drain();
}

}  // namespace brimlet
