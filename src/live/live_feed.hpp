#pragma once
// The engine of a live source: one run of the parser engine over a serial
// port or a recording, its readiness descriptor, and what the run has
// queued, taken as column tables. Plain C++; the brimlet_columns module's
// LiveSource wraps it and waits on the descriptor without the interpreter.
//
// Used by one thread at a time (the wrapper makes sure of it); the reader
// thread shares only the engine's channels with it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "columns/column_table.hpp"
#include "common/expected.hpp"
#include "parser/parser_engine.hpp"
#include "parser/readiness.hpp"
#include "serial/byte_source.hpp"

namespace brimlet::columns {

// The run has ended and everything it decoded has been taken.
struct Ended {};
// The run ended with a read failure, after everything before it was taken.
struct ReadFailed {
    SourceFailure failure;
};
// Packets taken: their columns, and the boot clock (ns) read with each
// receive time, one entry per row.
struct LiveBatch {
    ColumnTable table;
    Column<std::int64_t> boot;
};
using Taken = std::variant<LiveBatch, Ended, ReadFailed>;

class LiveFeed {
public:
    // Starts a run over `source`; the failure's text when the readiness
    // descriptor or the reader thread cannot be had (nothing runs then).
    static Expected<std::unique_ptr<LiveFeed>, std::string> start(std::unique_ptr<ByteSource> source);
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;
    // Stops and joins the run, then closes the source and the descriptor.
    ~LiveFeed() = default;

    // Readable while packets are queued and once the run has ended.
    int fd() const { return readiness_->fd(); }
    // Waits at most `wait` for the descriptor to be readable; true when it is.
    bool wait(std::chrono::milliseconds wait) const;
    // Everything queued, in order, as columns stamped with receive and boot
    // times (no rows when nothing is queued yet); else the read failure that ended
    // the run, once; else Ended. Out of memory: DecodeError.
    Expected<Taken, DecodeError> take();
    // What the scanner has passed over so far.
    const ScanCounts& counts() const { return *counts_; }

private:
    LiveFeed(std::unique_ptr<ByteSource> source, std::shared_ptr<Readiness> readiness);
    std::shared_ptr<Readiness> readiness_;
    std::shared_ptr<ScanCounts> counts_ = std::make_shared<ScanCounts>();
    ParserEngine engine_;
    std::optional<SourceFailure> failure_;  // taken from the engine, not told yet
};

}  // namespace brimlet::columns
