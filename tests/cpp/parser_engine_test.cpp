#include "parser/parser_engine.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "scripted_source.hpp"
#include "test_support.hpp"

namespace brimlet {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Floats;
using test::kind_name;
using test::value;

using test::ScriptedSource;

struct EngineFixture : ::testing::Test, test::Script {
    std::unique_ptr<ParserEngine> engine = std::make_unique<ParserEngine>(std::make_unique<ScriptedSource>(shared));

    void wait_until_stopped() {
        for (int k = 0; k < 2000 && engine->is_running(); ++k) std::this_thread::sleep_for(1ms);
        ASSERT_FALSE(engine->is_running());
    }
    std::vector<IMUPacket> collect(std::optional<std::chrono::nanoseconds> wait = std::nullopt) {
        auto got = engine->collect_packets(wait);
        EXPECT_TRUE(got.has_value());
        return got ? got->take_all() : std::vector<IMUPacket>{};
    }
};

Bytes raw_frame(float tag) { return test::frame(0x80, test::field(0x17, {tag})); }

TEST_F(EngineFixture, IdleEngineHasNothingAndWaitsForTheDeadline) {
    EXPECT_FALSE(engine->is_running());
    EXPECT_TRUE(collect().empty());
    EXPECT_FALSE(engine->collect_packets(0ns).has_value());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine->collect_packets(30ms).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
    EXPECT_FALSE(engine->take_reader_error());
    engine->stop();  // without start: returns at once
    engine->stop();
}

TEST_F(EngineFixture, RunToEndOfDataDeliversEveryFrameInOrder) {
    Bytes stream;
    for (int k = 0; k < 500; ++k) stream = test::concat({stream, raw_frame(float(k))});
    bytes(stream);  // more than one read's worth: frames straddle reads
    end();
    ASSERT_TRUE(engine->start());
    wait_until_stopped();
    auto packets = collect();
    ASSERT_EQ(packets.size(), 500u);
    for (int k = 0; k < 500; ++k) EXPECT_EQ(value(packets[k], "scaled_ambient_pressure"), Floats{float(k)});
    EXPECT_FALSE(engine->take_reader_error());
    // Ended: start alone does nothing until stop takes the source back.
    ASSERT_TRUE(engine->start());
    EXPECT_FALSE(engine->is_running());
    engine->stop();
    EXPECT_TRUE(engine->has_source());
}

TEST_F(EngineFixture, SplitFrameIsDecodedOnceCompleted) {
    const Bytes f = raw_frame(7);
    bytes(Bytes(f.begin(), f.begin() + 3));
    push({ScriptedSource::Step::kPause, {}, {}});
    bytes(Bytes(f.begin() + 3, f.end()));
    ASSERT_TRUE(engine->start());
    EXPECT_TRUE(engine->is_running());
    EXPECT_FALSE(engine->collect_packets(20ms).has_value());
    release();
    auto got = engine->collect_packets(std::chrono::nanoseconds(5s));
    ASSERT_TRUE(got.has_value());
    auto packets = got->take_all();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(value(packets[0], "scaled_ambient_pressure"), Floats{7.0f});
    release();  // let the final read end the run
    engine->stop();
}

TEST_F(EngineFixture, FailuresAreQueuedOldestFirstAndPacketsKept) {
    bytes(raw_frame(1));
    fail("Operation timed out");
    ASSERT_TRUE(engine->start());
    wait_until_stopped();
    engine->stop();
    fail("I/O error");
    ASSERT_TRUE(engine->start());
    wait_until_stopped();
    engine->stop();
    EXPECT_EQ(engine->take_reader_error(), "Operation timed out");
    EXPECT_EQ(engine->take_reader_error(), "I/O error");
    EXPECT_FALSE(engine->take_reader_error());
    auto packets = collect();
    ASSERT_EQ(packets.size(), 1u);
}

TEST_F(EngineFixture, StartTwiceRunsOneReaderAndStopJoinsIt) {
    push({ScriptedSource::Step::kPause, {}, {}});
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(engine->start());
    {
        std::unique_lock g(shared->lock);
        shared->changed.wait(g, [&] { return shared->reads >= 1; });
    }
    EXPECT_EQ(shared->reads, 1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release();
        std::this_thread::sleep_for(20ms);
        release();
    });
    engine->stop();  // clears the flag; the reader ends after its read returns
    releaser.join();
    EXPECT_FALSE(engine->is_running());
    EXPECT_TRUE(engine->has_source());
    // Restart on the same source.
    bytes(raw_frame(3));
    end();
    ASSERT_TRUE(engine->start());
    wait_until_stopped();
    engine->stop();
    EXPECT_EQ(collect().size(), 1u);
}

TEST_F(EngineFixture, TeardownJoinsARunningReaderAndClosesTheSource) {
    push({ScriptedSource::Step::kPause, {}, {}});
    ASSERT_TRUE(engine->start());
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release();
        std::this_thread::sleep_for(20ms);
        release();
    });
    engine.reset();
    releaser.join();
    std::lock_guard g(shared->lock);
    EXPECT_TRUE(shared->closed);
}

TEST_F(EngineFixture, BlockingCollectWakesOnArrival) {
    push({ScriptedSource::Step::kPause, {}, {}});
    bytes(raw_frame(9));
    ASSERT_TRUE(engine->start());
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release();
    });
    auto got = engine->collect_packets(std::chrono::nanoseconds::max());  // deadline overflows: no deadline
    releaser.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->size(), 1u);
    release();
    engine->stop();
}

// A source read as fast as it goes wakes a waiting collect only for a good
// batch, but never keeps it waiting long while packets come in, and wakes it
// when the run ends.
TEST_F(EngineFixture, SourceThatNeverWaitsWakesACollectPromptlyEnough) {
    shared->like_a_file = true;
    ASSERT_TRUE(engine->start());
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        std::this_thread::sleep_for(20ms);  // the collect below waits meanwhile
        for (float k = 1; !done; ++k) {
            bytes(raw_frame(k));
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    auto got = engine->collect_packets(10s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    done = true;
    feeder.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_GE(got->size(), 1u);
    collect();
    bytes(raw_frame(0));
    end();
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(engine->collect_packets(10s).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 5s);
    engine->stop();
}

// A wait with a check ends within one interval of the check saying so and
// takes nothing; an interrupted stop leaves the run held (flag cleared) for a
// later stop to finish. A check that never says so changes nothing.
TEST_F(EngineFixture, InterruptedWaitsEndEarlyAndLeaveEverythingInPlace) {
    push({ScriptedSource::Step::kPause, {}, {}});
    bytes(raw_frame(5));
    ASSERT_TRUE(engine->start());
    EXPECT_TRUE(std::holds_alternative<TimedOut>(engine->collect_packets(30ms, [] { return false; }).error()));
    int asked = 0;
    const auto second_time = [&] { return ++asked == 2; };
    const auto t0 = std::chrono::steady_clock::now();
    auto got = engine->collect_packets(std::chrono::hours(1), second_time);
    ASSERT_FALSE(got.has_value());
    EXPECT_TRUE(std::holds_alternative<Interrupted>(got.error()));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, test::kWaitMargin * 2 * kInterruptCheckInterval);
    asked = 0;
    EXPECT_FALSE(engine->stop(second_time).has_value());
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(engine->is_running());
    ASSERT_TRUE(engine->start());  // the interrupted run is still held: nothing starts
    {
        std::lock_guard g(shared->lock);
        EXPECT_EQ(shared->reads, 1);
    }
    release();  // the paused read goes on to the frame; the cleared flag ends the run
    EXPECT_TRUE(engine->stop([] { return false; }).has_value());
    EXPECT_TRUE(engine->has_source());
    auto packets = collect();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(value(packets[0], "scaled_ambient_pressure"), Floats{5.0f});
}

// A child forked while a run is held has no reader thread: its copy must not
// wait for one, nor take a channel lock that the reader may have held at the
// fork. It is not running, has nothing queued and no source, and stops and
// tears down at once; the parent's run goes on unaffected.
TEST_F(EngineFixture, ForkedChildLeavesTheParentsRunAlone) {
    bytes(raw_frame(1));
    push({ScriptedSource::Step::kPause, {}, {}});
    ASSERT_TRUE(engine->start());
    {
        std::unique_lock g(shared->lock);
        shared->changed.wait(g, [&] { return shared->reads >= 2; });  // the frame is queued
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(10);  // a hang ends the child by signal
        int wrong = 0;
        if (engine->is_running()) wrong |= 1;
        if (engine->take_reader_error() || engine->collect_packets(std::nullopt)->size() != 0) wrong |= 2;
        if (engine->collect_packets(10ms).has_value()) wrong |= 4;
        (void)engine->stop();
        if (engine->has_source() || !engine->start() || engine->is_running()) wrong |= 8;
        engine.reset();
        ::_exit(wrong);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(engine->is_running());
    end();
    release();
    wait_until_stopped();
    engine->stop();
    EXPECT_TRUE(engine->has_source());
    EXPECT_EQ(collect().size(), 1u);
}

// A refused thread leaves the engine idle with its source, and a later start
// succeeds. Lowering the process limit only refuses threads for a user
// without the privilege to exceed it.
TEST_F(EngineFixture, RefusedThreadKeepsTheSourceAndCanRetry) {
    if (geteuid() == 0) GTEST_SKIP() << "the thread limit does not bind root";
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NPROC, &old), 0);
    rlimit low = old;
    low.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &low), 0);
    auto refused = engine->start();
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &old), 0);
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().message.starts_with("failed to spawn thread")) << refused.error().message;
    EXPECT_FALSE(engine->is_running());
    EXPECT_TRUE(engine->has_source());
    bytes(raw_frame(1));
    end();
    ASSERT_TRUE(engine->start());
    wait_until_stopped();
    engine->stop();
    EXPECT_EQ(collect().size(), 1u);
}

}  // namespace
}  // namespace brimlet
