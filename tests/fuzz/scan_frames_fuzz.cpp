// Feeds arbitrary bytes to the frame scanner in arbitrary pieces and checks
// what must always hold: the tail left behind is shorter than the largest
// frame and starts with a sync byte, and every packet carries only fields of
// its own kind and flags only fields it carries.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "protocol/frame_scanner.hpp"

namespace {

struct CheckingSender {
    bool send_all(std::span<const brimlet::IMUPacket> batch) {
        for (const brimlet::IMUPacket& p : batch) check(p);
        return true;
    }

    static void check(const brimlet::IMUPacket& p) {
        namespace schema = brimlet::schema;
        if (static_cast<std::size_t>(p.kind) >= schema::kKindCount) std::abort();
        for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
            if (p.has(i) && schema::kFields[i].kind != p.kind) std::abort();
        }
        if (p.present >> schema::kFieldCount) std::abort();
        if (p.flagged > schema::kMaxFlagged) std::abort();
        for (std::size_t k = 0; k < p.flagged; ++k) {
            const std::uint8_t code = p.invalid_code(k);
            if (code >= schema::kValidityCount) std::abort();
            if (!p.has(schema::kValidityFields[code])) std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte seeds the piece sizes; the rest is the stream.
    std::uint32_t state = data[0] * 2654435761u + 1;
    CheckingSender sender;
    std::vector<std::uint8_t> buffer;
    for (std::size_t pos = 1; pos < size;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t piece = std::min<std::size_t>(1 + (state >> 16) % 400, size - pos);
        buffer.insert(buffer.end(), data + pos, data + pos + piece);
        pos += piece;
        brimlet::scan_frames(buffer, sender);
        if (buffer.size() >= brimlet::kMaxFrame) std::abort();
        if (!buffer.empty() && buffer[0] != brimlet::kSync1) std::abort();
    }
    return 0;
}
