#include "parser/reader_loop.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace brimlet {

std::unique_ptr<ByteSource> reader_loop(RunContext context) {
    std::vector<std::uint8_t> buffer;
    buffer.reserve(kInitialBufferCapacity);
    std::atomic<bool>& running = *context.running;
    while (running.load(std::memory_order_relaxed)) {
        const std::size_t filled = buffer.size();
        if (buffer.capacity() - filled < kReadSize) buffer.reserve(std::max(2 * buffer.capacity(), filled + kReadSize));
        buffer.resize(filled + kReadSize);
        ReadResult got = context.source->read(std::span(buffer.data() + filled, kReadSize));
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
        scan_frames(buffer, context.packets);
    }
    return std::move(context.source);
}

}  // namespace brimlet
