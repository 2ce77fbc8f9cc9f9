#pragma once
// The body of the reader thread: read, scan, repeat while the running flag
// holds; a read failure is queued as text, end of data ends quietly.

#include <atomic>
#include <memory>
#include <string>

#include "parser/channel.hpp"
#include "protocol/imu_packet.hpp"
#include "serial/byte_source.hpp"

namespace brimlet {

inline constexpr std::size_t kReadSize = 2048;
inline constexpr std::size_t kInitialBufferCapacity = 4096;

// What one run owns, moved into its thread.
struct RunContext {
    Sender<IMUPacket> packets;
    Sender<std::string> errors;
    std::shared_ptr<std::atomic<bool>> running;
    std::unique_ptr<ByteSource> source;
};

// Runs on the reader thread; returns the source when the run ends.
std::unique_ptr<ByteSource> reader_loop(RunContext context);

}  // namespace brimlet
