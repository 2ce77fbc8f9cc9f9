#pragma once
// A file descriptor that an event loop can wait on: readable while a packet
// channel holds packets, and for good once the run that fills it has ended.
// An eventfd, raised and lowered by the channel under its own lock, so that
// what the descriptor says always matches the queue.

#include <memory>
#include <string>

#include "common/expected.hpp"

namespace brimlet {

class Readiness {
public:
    // A new, lowered descriptor, or the failure's text.
    static Expected<std::shared_ptr<Readiness>, std::string> make();
    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;
    ~Readiness();

    int fd() const { return fd_; }
    // Called by the channel under its lock: `up` when packets are queued or
    // the run has ended, false when the queue was emptied before that.
    void show(bool up);

private:
    explicit Readiness(int fd) : fd_(fd) {}
    int fd_;
    bool up_ = false;
};

}  // namespace brimlet
