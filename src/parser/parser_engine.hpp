#pragma once
// The acquisition engine that each parser object owns: a byte source, a
// reader thread that reads it and decodes frames, and two unbounded channels
// (packets, and read failures) back to the caller.
//
// Driven from one thread only (the class layer enforces that); the reader
// thread shares nothing with it but the running flag and the channels.
//
// In a process forked while a run was held, the engine's copy belongs to no
// run: the reader thread exists only in the parent, and it may have held a
// channel's lock at the fork. The copy leaves that run and those channels
// alone for good (they are never released here) and carries on with fresh,
// empty channels and no source: not running, nothing queued, and stop()
// returns at once.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "common/expected.hpp"
#include "parser/channel.hpp"
#include "parser/internal_error.hpp"
#include "parser/readiness.hpp"
#include "parser/reader_loop.hpp"
#include "protocol/imu_packet.hpp"
#include "serial/byte_source.hpp"

namespace brimlet {

struct TimedOut {};
struct Interrupted {};
using PacketBatch = Batch<IMUPacket>;

// How often a waiting call asks whether it should give up.
inline constexpr std::chrono::milliseconds kInterruptCheckInterval{100};
// Asked by a waiting call about every kInterruptCheckInterval, on the calling
// thread; true ends the wait early. An empty check never ends it.
using InterruptCheck = std::function<bool()>;

class ParserEngine {
public:
    explicit ParserEngine(std::unique_ptr<ByteSource> source);
    ParserEngine(const ParserEngine&) = delete;
    ParserEngine& operator=(const ParserEngine&) = delete;
    // Teardown: stops and joins a run, then releases channels and source.
    ~ParserEngine();

    // Launches a run unless a run (going or ended) is held or the source is
    // gone. A refused thread leaves the engine as it was before the call.
    Expected<void, InternalError> start();
    // Clears the flag, joins the reader and takes the source back.
    void stop();
    // The same, except that when `interrupted` says so before the reader has
    // ended, it returns Interrupted with the run still held (flag cleared): a
    // later stop finishes it.
    Expected<void, Interrupted> stop(const InterruptCheck& interrupted);
    bool is_running();
    // The oldest queued read failure, without waiting.
    std::optional<SourceFailure> take_reader_error();
    // Everything queued, in order. With a wait, first waits up to `wait` for
    // one packet and reports TimedOut when none came, or Interrupted when
    // `interrupted` ended the wait; either way nothing is taken.
    Expected<PacketBatch, std::variant<TimedOut, Interrupted>> collect_packets(
        std::optional<std::chrono::nanoseconds> wait, const InterruptCheck& interrupted = {});

    bool has_source() const { return source_ != nullptr; }
    // Has `readiness` follow the packet channel: up while packets are queued,
    // and for good once a run has ended (parser/readiness.hpp).
    void watch_packets(std::shared_ptr<Readiness> readiness);
    // Whether a run has ended and everything it queued has been taken.
    bool packets_done();
    // Has the runs started from now on count what the scanner passes over.
    void count_scans(std::shared_ptr<ScanCounts> counts) { counts_ = std::move(counts); }

private:
    struct Run;
    struct Channels {
        Receiver<IMUPacket> packets_in;
        Receiver<SourceFailure> errors_in;
        Sender<IMUPacket> packets_out;
        Sender<SourceFailure> errors_out;
    };
    static std::unique_ptr<Channels> make_channels();
    // In a forked child, lets go of a run held by the parent (see above).
    void leave_run_of_parent();
    enum class Waited { arrived, timed_out, interrupted };
    Waited wait_for_packets(std::chrono::steady_clock::time_point deadline, const InterruptCheck& interrupted);

    std::unique_ptr<Channels> channels_;
    std::shared_ptr<std::atomic<bool>> running_;
    std::unique_ptr<Run> reader_;
    std::unique_ptr<ByteSource> source_;
    std::shared_ptr<ScanCounts> counts_;
};

}  // namespace brimlet
