#pragma once
// An unbounded first-in-first-out channel: any number of senders, one
// receiver. A send never blocks and never drops; the receiver takes one element
// without waiting, one element with a deadline, or everything queued at once.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brimlet {

namespace channel_detail {

template <class T>
struct State {
    std::mutex lock;
    std::condition_variable arrived;
    // Elements before `head` have been taken; they are dropped when the queue
    // runs empty, so a queue that is drained keeps its memory for reuse.
    std::vector<T> items;
    std::size_t head = 0;
    bool receiver_alive = true;

    bool empty() const { return head == items.size(); }

    T pop_front() {
        T value = std::move(items[head++]);
        if (empty()) {
            items.clear();
            head = 0;
        }
        return value;
    }
};

}  // namespace channel_detail

template <class T>
class Receiver;

template <class T>
class Sender {
public:
    // Queues `value`; gives it back when the receiving end is gone.
    std::expected<void, T> send(T&& value) const {
        {
            std::lock_guard guard(state_->lock);
            if (!state_->receiver_alive) return std::unexpected(std::move(value));
            state_->items.push_back(std::move(value));
        }
        state_->arrived.notify_one();
        return {};
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
        if (!state_->arrived.wait_until(guard, deadline, [&] { return !state_->empty(); }))
            return std::nullopt;
        return state_->pop_front();
    }

    // Waits until something is queued or `deadline` (monotonic) passes; true
    // when something is queued.
    bool wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(state_->lock);
        return state_->arrived.wait_until(guard, deadline, [&] { return !state_->empty(); });
    }

    // Waits as long as it takes until something is queued.
    void wait() {
        std::unique_lock guard(state_->lock);
        state_->arrived.wait(guard, [&] { return !state_->empty(); });
    }

    // Moves every queued element to the end of `out`, in order.
    void drain_into(std::vector<T>& out) {
        std::lock_guard guard(state_->lock);
        auto& s = *state_;
        if (out.empty() && s.head == 0) {
            out.swap(s.items);
        } else {
            out.reserve(out.size() + (s.items.size() - s.head));
            for (std::size_t i = s.head; i < s.items.size(); ++i) out.push_back(std::move(s.items[i]));
            s.items.clear();
        }
        s.head = 0;
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
