#include "lib/use_guard.hpp"

#include <string>

namespace brimlet::py {

ThreadId current_thread() {
    static std::atomic<ThreadId> next{1};
    thread_local const ThreadId id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

Result<void> check_owner(ThreadId owner, const char* record_name) {
    const ThreadId caller = current_thread();
    if (caller == owner) return {};
    return Unexpected(InternalError{
        "assertion `left == right` failed: " + std::string(record_name) +
        " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(caller) +
        ")\n right: ThreadId(" + std::to_string(owner) + ')'});
}

Result<Borrow> Borrow::take(std::atomic<std::size_t>& flag, Access access) {
    if (access == Access::shared) {
        std::size_t current = flag.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return Unexpected(BorrowConflict{"Already mutably borrowed"});
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        return Borrow(&flag, true);
    }
    std::size_t idle = 0;
    if (flag.compare_exchange_strong(idle, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) {
        return Borrow(&flag, false);
    }
    if (access == Access::strict) return Unexpected(InternalError{"Already borrowed"});
    return Unexpected(BorrowConflict{"Already borrowed"});
}

}  // namespace brimlet::py
