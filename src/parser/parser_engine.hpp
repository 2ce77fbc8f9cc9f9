#pragma once
// The acquisition engine that each parser object owns: a byte source, a
// reader thread that reads it and decodes frames, and two unbounded channels
// (packets, and the texts of read failures) back to the caller.
//
// Driven from one thread only (the class layer enforces that); the reader
// thread shares nothing with it but the running flag and the channels.

#include <atomic>
#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parser/channel.hpp"
#include "parser/internal_error.hpp"
#include "protocol/imu_packet.hpp"
#include "serial/byte_source.hpp"

namespace brimlet {

struct TimedOut {};
using PacketBatch = Batch<IMUPacket>;

class ParserEngine {
public:
    explicit ParserEngine(std::unique_ptr<ByteSource> source);
    ParserEngine(const ParserEngine&) = delete;
    ParserEngine& operator=(const ParserEngine&) = delete;
    // Teardown: stops and joins a run, then releases channels and source.
    ~ParserEngine();

    // Launches a run unless a run (going or ended) is held or the source is
    // gone. A refused thread leaves the engine as it was before the call.
    std::expected<void, InternalError> start();
    // Clears the flag, joins the reader and takes the source back.
    void stop();
    bool is_running() const;
    // The oldest queued read-failure text, without waiting.
    std::optional<std::string> take_reader_error();
    // Everything queued, in order. With a wait, first waits up to `wait` for
    // one packet and reports TimedOut when none came.
    std::expected<PacketBatch, TimedOut> collect_packets(
        std::optional<std::chrono::nanoseconds> wait);

    bool has_source() const { return source_ != nullptr; }

private:
    struct Run;
    ParserEngine(std::pair<Sender<IMUPacket>, Receiver<IMUPacket>> packets,
                 std::pair<Sender<std::string>, Receiver<std::string>> errors,
                 std::unique_ptr<ByteSource> source);

    Receiver<IMUPacket> packets_in_;
    Receiver<std::string> errors_in_;
    std::shared_ptr<std::atomic<bool>> running_;
    std::unique_ptr<Run> reader_;
    Sender<IMUPacket> packets_out_;
    Sender<std::string> errors_out_;
    std::unique_ptr<ByteSource> source_;
};

}  // namespace brimlet
