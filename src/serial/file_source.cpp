// A recording of the raw device stream, read from start to end as fast as the
// reads return. There is no pacing and no buffering of our own: the reader's
// buffer is the only one above the operating system.
//
// A regular file always has its next bytes or its end ready, so it is read
// directly. Anything else (a FIFO, a terminal, a socket) can keep a read
// waiting for good; there each read first waits for input in slices of
// kStopCheckInterval, so that a stop is noticed.

#include "serial/file_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>
#include <utility>

#include "serial/errno_text.hpp"

namespace brimlet {
namespace {

class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd) noexcept : fd_(fd) {
        struct stat info {};
        regular_ = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() override { ::close(fd_); }

    // The file position carries over between runs: a recording is never
    // rewound, so once its end is reached every later read returns 0. EINTR
    // is reported like any other failure, not retried. A wait for input that
    // is told to stop ends the read with 0, like the end of data: nothing was
    // read, and the run ends quietly.
    ReadResult read(std::span<std::uint8_t> into, const std::atomic<bool>& keep_going) override {
        if (!regular_) {
            if (auto ready = wait_for_input(keep_going); !ready || !*ready) return ready;
        }
        constexpr auto kMaxRead = static_cast<std::size_t>(std::numeric_limits<ssize_t>::max());
        const ssize_t n = ::read(fd_, into.data(), std::min(into.size(), kMaxRead));
        if (n < 0) {
            return Unexpected(file_errno_failure(errno));
        }
        return static_cast<std::size_t>(n);
    }

    bool reads_wait() const override { return !regular_; }

private:
    // 1 once a read will not block (bytes, end of data or an error to report),
    // 0 when told to stop first, or the failure of the wait.
    ReadResult wait_for_input(const std::atomic<bool>& keep_going) const {
        constexpr int kSlice = static_cast<int>(kStopCheckInterval.count());
        for (;;) {
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, kSlice);
            if (ready < 0) return Unexpected(file_errno_failure(errno));
            if (ready > 0) return 1;
            if (!keep_going.load(std::memory_order_relaxed)) return 0;
        }
    }

    int fd_;
    bool regular_ = false;
};

// Closes a descriptor that no source owns yet, should building the source fail.
class PendingFd {
public:
    explicit PendingFd(int fd) noexcept : fd_(fd) {}
    PendingFd(const PendingFd&) = delete;
    PendingFd& operator=(const PendingFd&) = delete;
    ~PendingFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

OpenResult open_recording(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return Unexpected(SourceFailure{"file name contained an unexpected NUL byte"});
    }
    const std::string c_path(path);
    // Nothing else is checked: a directory opens, and its first read fails.
    const int fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Unexpected(file_errno_failure(errno));
    }
    PendingFd pending(fd);
    std::unique_ptr<ByteSource> source = std::make_unique<FileSource>(fd);
    pending.release();
    return source;
}

}  // namespace brimlet
