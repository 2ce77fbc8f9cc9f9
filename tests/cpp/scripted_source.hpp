#pragma once
// A byte source that plays a script, for the engine's tests.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "serial/byte_source.hpp"
#include "test_support.hpp"

namespace brimlet::test {

// A source that plays a script of steps: bytes, a failure text, end of data,
// or a pause until the test releases it. Reads past the script block until
// released, then report end of data.
class ScriptedSource : public ByteSource {
public:
    struct Step {
        enum Kind { kBytes, kFail, kEnd, kPause } kind;
        Bytes bytes;
        SourceFailure failure;
    };
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<Step> steps;
        int reads = 0;
        bool released = false;
        bool closed = false;
        bool like_a_file = false;  // reads_wait() false, as for a regular file
    };

    explicit ScriptedSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~ScriptedSource() override {
        std::lock_guard g(shared_->lock);
        shared_->closed = true;
    }

    ReadResult read(std::span<std::uint8_t> into, const std::atomic<bool>&) override {
        std::unique_lock g(shared_->lock);
        ++shared_->reads;
        shared_->changed.notify_all();
        for (;;) {
            if (shared_->steps.empty()) {
                shared_->changed.wait(g, [&] { return shared_->released || !shared_->steps.empty(); });
                if (shared_->steps.empty()) return 0;
            }
            Step step = std::move(shared_->steps.front());
            shared_->steps.pop_front();
            switch (step.kind) {
                case Step::kBytes: {
                    const std::size_t n = std::min(into.size(), step.bytes.size());
                    std::copy_n(step.bytes.begin(), n, into.begin());
                    if (n < step.bytes.size())
                        shared_->steps.push_front({Step::kBytes, Bytes(step.bytes.begin() + n, step.bytes.end()), {}});
                    return n;
                }
                case Step::kFail: return Unexpected(step.failure);
                case Step::kEnd: return 0;
                case Step::kPause:
                    shared_->changed.wait(g, [&] { return shared_->released; });
                    shared_->released = false;
                    break;
            }
        }
    }

    bool reads_wait() const override { return !shared_->like_a_file; }

private:
    std::shared_ptr<Shared> shared_;
};

// A script to play, and the steps to add to it.
struct Script {
    std::shared_ptr<ScriptedSource::Shared> shared = std::make_shared<ScriptedSource::Shared>();

    void push(ScriptedSource::Step step) {
        std::lock_guard g(shared->lock);
        shared->steps.push_back(std::move(step));
        shared->changed.notify_all();
    }
    void bytes(Bytes b) { push({ScriptedSource::Step::kBytes, std::move(b), {}}); }
    void fail(std::string text, int error_number = 0) {
        push({ScriptedSource::Step::kFail, {}, {std::move(text), error_number}});
    }
    void end() { push({ScriptedSource::Step::kEnd, {}, {}}); }
    void release() {
        std::lock_guard g(shared->lock);
        shared->released = true;
        shared->changed.notify_all();
    }
};

}  // namespace brimlet::test
