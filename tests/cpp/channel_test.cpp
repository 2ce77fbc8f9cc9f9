#include "parser/channel.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace brimlet {
namespace {

using namespace std::chrono_literals;

TEST(Channel, ManySendersOneReceiverKeepsEachSendersOrder) {
    auto [tx, rx] = make_channel<int>();
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s)
        senders.emplace_back([tx = tx, s] {  // named: clang before 16 cannot capture a structured binding
            for (int k = 0; k < 10000; ++k) ASSERT_TRUE(tx.send(s * 100000 + k));
        });
    std::vector<int> got;
    while (got.size() < 40000) {
        if (auto v = rx.take_until(std::chrono::steady_clock::now() + 1s)) got.push_back(*v);
        for (int v : rx.drain().take_all()) got.push_back(v);
    }
    for (auto& t : senders) t.join();
    std::array<int, 4> last{-1, -1, -1, -1};
    for (int v : got) {
        EXPECT_GT(v % 100000, last[v / 100000]);
        last[v / 100000] = v % 100000;
    }
    EXPECT_FALSE(rx.try_take());
}

// Blocks emptied by takes and batches are reused; order holds across blocks.
TEST(Channel, OrderHoldsAcrossBlocksAndReusedMemory) {
    auto [tx, rx] = make_channel<int>();
    int next_sent = 0, next_taken = 0;
    for (int round = 0; round < 20; ++round) {
        for (int k = 0; k < 10000; ++k) ASSERT_TRUE(tx.send(next_sent++));
        for (int k = 0; k < 777; ++k) ASSERT_EQ(rx.try_take(), next_taken++);
        auto batch = rx.drain();
        EXPECT_EQ(batch.size(), std::size_t(next_sent - next_taken));
        batch.consume([&](int&& v) { ASSERT_EQ(v, next_taken++); });
        EXPECT_TRUE(rx.drain().empty());
    }
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
    auto pair = make_channel<std::string>();
    Sender<std::string> tx = pair.first;
    { auto rx = std::move(pair.second); }
    auto back = tx.send("kept");
    ASSERT_FALSE(back.has_value());
    EXPECT_EQ(back.error(), "kept");
}

}  // namespace
}  // namespace brimlet
