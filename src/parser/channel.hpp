#pragma once
// An unbounded first-in-first-out channel: any number of senders, one
// receiver. A send never blocks and never drops; the receiver takes one element
// without waiting, waits for one until a deadline, or takes everything queued
// at once as a Batch.
//
// A sender may hand over many elements at once (one lock), and may put off
// waking a waiting receiver until it is worth the wake-up: `send_all(items,
// wake_at, patience)` wakes it once `wake_at` elements are queued or once it
// has waited `patience`, and `wake()` wakes it for whatever is queued.
//
// A receiver may watch the channel through a Readiness descriptor (raised
// while elements are queued, and for good once a sender calls finish()).
//
// Elements are stored in fixed-size blocks that never reallocate, so a send
// never moves what is already queued. Blocks that a batch or a take has
// emptied go back to a small pool and are reused by later sends: a steady
// stream that is drained as it goes runs in the same few blocks of memory.

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/expected.hpp"
#include "parser/readiness.hpp"

namespace brimlet {

namespace channel_detail {

// Block memory comes straight from the system and goes straight back to it:
// a backlog of millions of packets, once drained, leaves nothing behind in the
// C library's heap (whose freed memory a process does not get back).
template <class T>
struct BlockAllocator {
    using value_type = T;

    BlockAllocator() = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        void* p = mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept { munmap(p, n * sizeof(T)); }
    friend bool operator==(const BlockAllocator&, const BlockAllocator&) = default;
};

template <class T>
using Block = std::vector<T, BlockAllocator<T>>;

template <class T>
struct State {
    // About 1 MiB of elements per block (one system call fills thousands of
    // packets); spare blocks kept up to 4 MiB.
    static constexpr std::size_t kBlockSize = std::max<std::size_t>(16, (1024u << 10) / sizeof(T));
    static constexpr std::size_t kPoolBlocks = std::max<std::size_t>(1, (4u << 20) / (kBlockSize * sizeof(T)));

    std::mutex lock;
    std::condition_variable arrived;
    // Every block here holds at least one element not yet taken; the first
    // `head` elements of the front block have been taken.
    std::deque<Block<T>> blocks;
    std::size_t head = 0;
    std::size_t count = 0;    // elements queued
    std::size_t waiting = 0;  // receivers waiting for an element (0 or 1)
    std::chrono::steady_clock::time_point waiting_since{};
    std::vector<Block<T>> pool;
    bool receiver_alive = true;
    std::shared_ptr<Readiness> readiness;  // may be null
    bool finished = false;

    bool empty() const { return blocks.empty(); }

    // Brings the watching descriptor, if any, in line with the queue.
    void show_ready() {
        if (readiness) readiness->show(count > 0 || finished);
    }

    void push(T&& value) {
        if (blocks.empty() || blocks.back().size() == kBlockSize) blocks.push_back(fresh_block());
        blocks.back().push_back(std::move(value));
        ++count;
    }

    void push_all(std::span<const T> values) {
        while (!values.empty()) {
            if (blocks.empty() || blocks.back().size() == kBlockSize) blocks.push_back(fresh_block());
            Block<T>& back = blocks.back();
            const std::size_t take = std::min(values.size(), kBlockSize - back.size());
            back.insert(back.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(take));
            values = values.subspan(take);
            count += take;
        }
    }

    // Waits on `arrived` until something is queued or `deadline` (if any)
    // passes; true when something is queued. Senders see the wait.
    bool wait_for_element(std::unique_lock<std::mutex>& guard,
                          std::optional<std::chrono::steady_clock::time_point> deadline) {
        ++waiting;
        waiting_since = std::chrono::steady_clock::now();
        bool got = true;
        if (deadline) {
            got = arrived.wait_until(guard, *deadline, [&] { return !empty(); });
        } else {
            arrived.wait(guard, [&] { return !empty(); });
        }
        --waiting;
        return got;
    }

    T pop_front() {
        --count;
        Block<T>& front = blocks.front();
        T value = std::move(front[head++]);
        if (head == front.size()) {
            recycle(std::move(front));
            blocks.pop_front();
            head = 0;
        }
        show_ready();
        return value;
    }

    Block<T> fresh_block() {
        if (pool.empty()) {
            Block<T> block;
            block.reserve(kBlockSize);
            return block;
        }
        Block<T> block = std::move(pool.back());
        pool.pop_back();
        return block;
    }

    void recycle(Block<T>&& block) {
        block.clear();
        if (pool.size() < kPoolBlocks) pool.push_back(std::move(block));
    }
};

}  // namespace channel_detail

template <class T>
class Receiver;

// Everything that was queued at one moment, in order. Its blocks go back to
// the channel's pool when the batch is destroyed.
template <class T>
class Batch {
public:
    Batch() = default;
    Batch(Batch&&) noexcept = default;
    Batch& operator=(Batch&&) noexcept = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        if (!state_ || blocks_.empty()) return;
        std::lock_guard guard(state_->lock);
        for (auto& block : blocks_) state_->recycle(std::move(block));
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Calls `visit(T&&)` on every element in order, moving it out.
    template <class Visit>
    void consume(Visit&& visit) {
        std::size_t skip = head_;
        for (auto& block : blocks_) {
            for (std::size_t i = skip; i < block.size(); ++i) visit(std::move(block[i]));
            skip = 0;
        }
    }

    // Moves every element into one vector.
    std::vector<T> take_all() {
        std::vector<T> out;
        out.reserve(size_);
        consume([&](T&& value) { out.push_back(std::move(value)); });
        return out;
    }

private:
    friend class Receiver<T>;
    std::shared_ptr<channel_detail::State<T>> state_;
    std::deque<channel_detail::Block<T>> blocks_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

template <class T>
class Sender {
public:
    // Queues `value`; gives it back when the receiving end is gone.
    Expected<void, T> send(T&& value) const {
        {
            std::lock_guard guard(state_->lock);
            if (!state_->receiver_alive) return Unexpected(std::move(value));
            state_->push(std::move(value));
            state_->show_ready();
        }
        state_->arrived.notify_one();
        return {};
    }

    // Queues copies of `values` in order under one lock, and wakes a waiting
    // receiver if at least `wake_at` elements are queued then or it has waited
    // `patience` already. False, nothing queued, when the receiving end is gone.
    bool send_all(std::span<const T> values, std::size_t wake_at = 1,
                  std::chrono::steady_clock::duration patience = {}) const {
        bool wake = false;
        {
            std::lock_guard guard(state_->lock);
            if (!state_->receiver_alive) return false;
            state_->push_all(values);
            state_->show_ready();
            auto& s = *state_;
            wake = s.waiting > 0 && s.count > 0 &&
                   (s.count >= wake_at || std::chrono::steady_clock::now() - s.waiting_since >= patience);
        }
        if (wake) state_->arrived.notify_one();
        return true;
    }

    // Wakes a waiting receiver if anything is queued.
    void wake() const {
        bool wake = false;
        {
            std::lock_guard guard(state_->lock);
            wake = state_->waiting > 0 && state_->count > 0;
        }
        if (wake) state_->arrived.notify_one();
    }

    // Wakes a waiting receiver like wake(), and raises a watching descriptor
    // for good: nothing more will be sent.
    void finish() const {
        {
            std::lock_guard guard(state_->lock);
            state_->finished = true;
            state_->show_ready();
        }
        wake();
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();
    explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
    std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) noexcept = default;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() {
        if (!state_) return;
        std::lock_guard guard(state_->lock);
        state_->receiver_alive = false;
    }

    // The oldest element, or nothing when none is queued.
    std::optional<T> try_take() {
        std::lock_guard guard(state_->lock);
        if (state_->empty()) return std::nullopt;
        return state_->pop_front();
    }

    // The oldest element, waiting until `deadline` (monotonic) at most.
    std::optional<T> take_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(state_->lock);
        if (!state_->wait_for_element(guard, deadline)) return std::nullopt;
        return state_->pop_front();
    }

    // Waits until something is queued or `deadline` (monotonic) passes; true
    // when something is queued.
    bool wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(state_->lock);
        return state_->wait_for_element(guard, deadline);
    }

    // Waits as long as it takes until something is queued.
    void wait() {
        std::unique_lock guard(state_->lock);
        state_->wait_for_element(guard, std::nullopt);
    }

    // Everything queued now, in order; the channel is empty afterwards.
    Batch<T> drain() {
        Batch<T> batch;
        batch.state_ = state_;
        std::lock_guard guard(state_->lock);
        auto& s = *state_;
        batch.size_ = s.count;
        batch.head_ = s.head;
        batch.blocks_.swap(s.blocks);
        s.head = 0;
        s.count = 0;
        s.show_ready();
        return batch;
    }

    // Whether a sender has called finish() and everything queued is taken.
    bool done() {
        std::lock_guard guard(state_->lock);
        return state_->finished && state_->empty();
    }

    // Has `readiness` follow this channel from now on.
    void watch(std::shared_ptr<Readiness> readiness) {
        std::lock_guard guard(state_->lock);
        state_->readiness = std::move(readiness);
        state_->show_ready();
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();
    explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
    std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<channel_detail::State<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace brimlet
