#pragma once
// Uses of a parser object: who may use it (the thread that made it) and how
// uses on that thread may overlap.
//
// Every method checks the thread first (the engine is driven from one thread
// only), then takes a use of the object on its borrow flag, so that a method
// entered again from a finalizer or a truth test running inside another method
// of the same object is refused instead of overlapping it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "lib/boundary.hpp"

namespace brimlet::py {

// A number given to each thread on first use, never reused in the process
// (unlike the kernel's thread ids, which are recycled when threads end).
using ThreadId = std::uint64_t;

ThreadId current_thread();

// Nothing when the calling thread is `owner`; otherwise the internal error of
// an object `record_name` used from another thread.
Result<void> check_owner(ThreadId owner, const char* record_name);

// All bits set in the borrow flag: one exclusive use in progress.
inline constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

// shared: any number at once; exclusive: alone, a conflict is a RuntimeError;
// strict: alone, a conflict is an internal error (__enter__ and __exit__).
enum class Access { shared, exclusive, strict };

// One use of an object, given back when the guard goes. The flag holds 0 when
// idle, k for k shared uses, kExclusive for one exclusive use.
class Borrow {
public:
    static Result<Borrow> take(std::atomic<std::size_t>& flag, Access access);
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), shared_(other.shared_) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) return;
        if (shared_) {
            flag_->fetch_sub(1, std::memory_order_release);
        } else {
            flag_->store(0, std::memory_order_release);
        }
    }

private:
    Borrow(std::atomic<std::size_t>* flag, bool shared) : flag_(flag), shared_(shared) {}
    std::atomic<std::size_t>* flag_;
    bool shared_;
};

}  // namespace brimlet::py
