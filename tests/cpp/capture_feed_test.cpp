#include "live/capture_feed.hpp"

#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "scripted_source.hpp"
#include "test_support.hpp"

namespace brimlet::live {
namespace {

using namespace std::chrono_literals;

struct Outcome {
    test::Bytes bytes;  // every read's, in order
    std::size_t reads = 0;
    CaptureCounts counts;  // as of the last read
    SourceFailure failure;
};

// Takes until the run ends; the stamps of each read are checked on the way.
Outcome take_to_end(CaptureFeed& feed) {
    Outcome out;
    std::int64_t last_boot = 0;
    for (;;) {
        EXPECT_TRUE(feed.wait(2000ms)) << "readiness never rose";
        CaptureTaken taken = feed.take();
        for (const CapturedRead& read : taken.reads) {
            EXPECT_GT(read.received_ns, 0);
            EXPECT_GE(read.boot_ns, last_boot) << "stamped in order on the clock that never steps";
            last_boot = read.boot_ns;
            out.bytes.insert(out.bytes.end(), read.bytes.begin(), read.bytes.end());
            ++out.reads;
        }
        if (!taken.reads.empty()) out.counts = taken.counts;
        if (taken.failure) {
            EXPECT_TRUE(taken.ended);
            EXPECT_FALSE(feed.take().failure) << "the failure is told once";
            out.failure = *taken.failure;
        }
        if (taken.ended) return out;
    }
}

// Every byte comes out as read, in order, before the failure that ends the
// run (an interrupted wait is none); the scan counts packets by kind and knows where the last whole frame
// ended, across reads that split frames.
TEST(CaptureFeed, KeepsEveryReadAndCountsTheFramesInIt) {
    test::Script script;
    const test::Bytes raw = test::frame(0x80, test::field(0x17, {1.0f}));
    const test::Bytes estimated = test::frame(0x82, {});
    test::Bytes damaged = raw;
    damaged.back() ^= 0xFF;
    const test::Bytes noise{0x00, 0x11};
    const test::Bytes stream = test::concat({raw, noise, estimated, damaged, test::frame(0x81, {}), raw});
    const std::size_t tail = 3;  // the start of one more frame, unfinished
    const std::size_t first = raw.size() + 4;  // a read that ends inside a frame
    script.bytes(test::Bytes(stream.begin(), stream.begin() + first));
    script.fail("Interrupted system call", EINTR);  // a signal on the reader thread: the wait goes on
    script.bytes(test::Bytes(stream.begin() + first, stream.end()));
    script.bytes(test::Bytes(raw.begin(), raw.begin() + tail));
    script.fail("Broken pipe", EPIPE);
    auto started = CaptureFeed::start(std::make_unique<test::ScriptedSource>(script.shared));
    ASSERT_TRUE(started) << started.error();
    Outcome out = take_to_end(**started);
    script.release();
    EXPECT_EQ(out.bytes, test::concat({stream, test::Bytes(raw.begin(), raw.begin() + tail)}));
    EXPECT_EQ(out.reads, 3u);
    EXPECT_EQ(out.counts.bytes, stream.size() + tail);
    EXPECT_EQ(out.counts.finished, stream.size());
    EXPECT_EQ(out.counts.packets[0], 2u);
    EXPECT_EQ(out.counts.packets[1], 1u);
    EXPECT_EQ(out.counts.outside, noise.size() + damaged.size());
    EXPECT_EQ(out.counts.bad_checksums, 1u);
    EXPECT_EQ(out.counts.other_frames, 1u);
    EXPECT_EQ(out.failure, (SourceFailure{"Broken pipe", EPIPE}));
}

// A consumer that falls too far behind ends the run with an overrun, after
// every byte read before it; end of data ends a run quietly.
TEST(CaptureFeed, AnOverrunIsToldAndEndOfDataIsQuiet) {
    for (const bool overrun : {true, false}) {
        test::Script script;
        script.bytes(test::Bytes(20, 0x42));
        script.end();
        auto started = CaptureFeed::start(std::make_unique<test::ScriptedSource>(script.shared), overrun ? 10 : 100);
        ASSERT_TRUE(started) << started.error();
        Outcome out = take_to_end(**started);
        script.release();
        EXPECT_EQ(out.bytes, test::Bytes(20, 0x42)) << overrun;
        EXPECT_EQ(out.failure.text.find("overrun") != std::string::npos, overrun) << out.failure.text;
        EXPECT_EQ(out.failure, (SourceFailure{overrun ? out.failure.text : ""}));  // no errno: the reader gave up
    }
}

}  // namespace
}  // namespace brimlet::live
