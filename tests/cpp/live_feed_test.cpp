#include "live/live_feed.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "scripted_source.hpp"
#include "test_support.hpp"

namespace brimlet::columns {
namespace {

using namespace std::chrono_literals;

std::size_t pressure_column() {
    for (std::size_t c = 0; c < kDataColumns.size(); ++c) {
        if (kDataColumns[c].field == "scaled_ambient_pressure") return c;
    }
    ADD_FAILURE() << "no pressure column";
    return 0;
}

test::Bytes raw_frame(float tag) { return test::frame(0x80, test::field(0x17, {tag})); }

struct LiveFeedFixture : ::testing::Test, test::Script {
    std::unique_ptr<LiveFeed> feed;
    std::vector<std::uint32_t> skipped;  // of the packets taken, in order

    void SetUp() override {
        auto started = LiveFeed::start(std::make_unique<test::ScriptedSource>(shared));
        ASSERT_TRUE(started) << started.error();
        feed = std::move(*started);
    }
    void TearDown() override { release(); }

    // Takes until the run ends: the tags in order, and the failure if any.
    std::pair<std::vector<float>, SourceFailure> take_to_end() {
        std::vector<float> tags;
        std::int64_t boot = 1;
        for (;;) {
            EXPECT_TRUE(feed->wait(2000ms)) << "readiness never rose";
            auto taken = feed->take();
            EXPECT_TRUE(taken);
            if (std::holds_alternative<Ended>(*taken)) return {tags, {}};
            if (auto* failed = std::get_if<ReadFailed>(&*taken)) {
                EXPECT_TRUE(std::holds_alternative<Ended>(*feed->take())) << "the failure is told once";
                return {tags, failed->failure};
            }
            auto& batch = std::get<LiveBatch>(*taken);
            auto& table = batch.table;
            for (std::size_t i = 0; i < table.size; ++i) {
                EXPECT_GT(table.time.data()[i], 0) << "stamped with the receive time";
                EXPECT_GE(batch.boot.data()[i], boot) << "and with the boot clock, which never goes back";
                boot = std::max(boot, batch.boot.data()[i]);
                tags.push_back(table.data[pressure_column()].data()[i]);
                skipped.push_back(table.skipped.data()[i]);
            }
        }
    }
};

// The descriptor is down while nothing is queued, up while packets are, and
// up for good once the run has ended; every packet comes out, in order,
// before the failure that ended the run.
TEST_F(LiveFeedFixture, ReadinessFollowsTheQueueAndPacketsPrecedeTheFailure) {
    EXPECT_FALSE(feed->wait(20ms));
    bytes(raw_frame(0));
    ASSERT_TRUE(feed->wait(2000ms));
    auto first = feed->take();
    ASSERT_TRUE(first && std::holds_alternative<LiveBatch>(*first));
    EXPECT_EQ(std::get<LiveBatch>(*first).table.size, 1u);
    EXPECT_FALSE(feed->wait(20ms)) << "down once drained";

    std::vector<float> expected;
    for (int k = 1; k < 2000; ++k) {
        // Noise before one frame: the packet tells how much came before it.
        bytes(k == 1000 ? test::concat({{0x00, 0x11, 0x75}, raw_frame(float(k))}) : raw_frame(float(k)));
        expected.push_back(float(k));
    }
    test::Bytes damaged = raw_frame(-1);
    damaged.back() ^= 0xFF;
    bytes(test::concat({{0x00, 0x75, 0x01}, damaged, test::frame(0x81, {})}));
    fail("Input/output error", EIO);
    auto [tags, failure] = take_to_end();
    EXPECT_EQ(tags, expected);
    ASSERT_EQ(skipped.size(), expected.size());
    for (std::size_t i = 0; i < skipped.size(); ++i) EXPECT_EQ(skipped[i], expected[i] == 1000 ? 3u : 0u) << i;
    // The noises, the damaged frame's bytes, one failed checksum and a frame of another set.
    EXPECT_EQ(feed->counts().outside.load(), 3 + 3 + damaged.size());
    EXPECT_EQ(feed->counts().bad_checksums.load(), 1u);
    EXPECT_EQ(feed->counts().other_frames.load(), 1u);
    EXPECT_EQ(failure, (SourceFailure{"Input/output error", EIO})) << "its number beside its text";
    EXPECT_TRUE(feed->wait(0ms)) << "up for good after the end";
}

TEST_F(LiveFeedFixture, EndOfDataEndsQuietly) {
    bytes(raw_frame(7));
    end();
    auto [tags, failure] = take_to_end();
    EXPECT_EQ(tags, std::vector<float>{7});
    EXPECT_EQ(failure, SourceFailure{});
}

}  // namespace
}  // namespace brimlet::columns
