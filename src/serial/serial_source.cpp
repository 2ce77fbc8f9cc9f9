// The live device on a serial terminal: opened, held exclusively, put into raw
// 8N1 mode at an arbitrary speed, then read with a bounded wait per read.
// Nothing is ever written to the device and no setting changes after opening.

#include "serial/serial_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/expected.hpp"
#include "serial/errno_text.hpp"

namespace brimlet {
namespace {

// Linux terminal interface values. <termios.h> and the kernel's own termios
// headers cannot be included together, so the arbitrary-speed record and its
// ioctls are spelled out here. The values are the same on x86-64 and arm64;
// every build checks them against the headers of the system it targets.
constexpr unsigned long kTiocExcl = 0x540C;
constexpr unsigned long kTiocNxcl = 0x540D;
constexpr unsigned long kTcGets2 = 0x802C542A;
constexpr unsigned long kTcSets2 = 0x402C542B;

constexpr tcflag_t kInpck = 0x10, kIgnpar = 0x4, kIxon = 0x400, kIxoff = 0x1000;
constexpr tcflag_t kParenb = 0x100, kParodd = 0x200, kCrtscts = 0x80000000;
constexpr tcflag_t kCbaudWithEx = 0x100F, kCibaud = 0x100F0000, kCsize = 0x30, kCstopb = 0x40;
constexpr tcflag_t kCs8 = 0x30, kBother = 0x1000;
// Clears the speed codes (both directions), the character size and the stop bits.
constexpr tcflag_t kLineMask = ~(kCbaudWithEx | kCibaud | kCsize | kCstopb);
static_assert(kLineMask == 0xEFF0EF80);

static_assert(TIOCEXCL == kTiocExcl && TIOCNXCL == kTiocNxcl);
static_assert(INPCK == kInpck && IGNPAR == kIgnpar && IXON == kIxon && IXOFF == kIxoff);
static_assert(PARENB == kParenb && PARODD == kParodd && CRTSCTS == kCrtscts);
static_assert(CBAUD == kCbaudWithEx && (CBAUD & CBAUDEX) == CBAUDEX && CIBAUD == kCibaud);
static_assert(CSIZE == kCsize && CSTOPB == kCstopb && CS8 == kCs8);
#ifdef BOTHER  // in <termios.h> from glibc 2.42 on
static_assert(BOTHER == kBother);
#endif
static_assert((O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) == 0x80902);

// The kernel's termios2: like termios, but with the speeds in bits per second.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44, "size is encoded in TCGETS2/TCSETS2");
// The system's TCGETS2 and TCSETS2 name the kernel's struct termios2, which
// cannot be declared here; the same requests encoded the system's way with
// this record's size must give the constants.
static_assert(_IOR('T', 0x2A, KernelTermios2) == kTcGets2);
static_assert(_IOW('T', 0x2B, KernelTermios2) == kTcSets2);

using Wait = std::chrono::duration<std::uint64_t, std::milli>;
using Step = Expected<void, SourceFailure>;

// The wait that a timeout too long to be held saturates to: it never ends.
constexpr Wait kEndless = Wait::max();

// The failure of `err`, by default the current errno (call it right after
// the failing call).
Unexpected<SourceFailure> errno_failure(int err = errno) {
    return Unexpected(serial_errno_failure(err));
}

// A wait for input that ran out: its own words, and no error number (a read
// timeout is the caller's choice, not the system's failure).
SourceFailure timed_out() { return {"Operation timed out", 0}; }

// A failure that no error number stands behind.
Unexpected<SourceFailure> failure(std::string_view text) {
    return Unexpected(SourceFailure{std::string(text)});
}

// Seconds to whole milliseconds, truncated and saturated; negative or NaN is 0.
Wait wait_from_timeout(double seconds) {
    const double ms = seconds * 1000.0;
    if (!(ms > 0.0)) {
        return Wait{0};
    }
    if (ms >= 18446744073709551616.0) {  // 2^64
        return Wait{std::numeric_limits<std::uint64_t>::max()};
    }
    return Wait{static_cast<std::uint64_t>(ms)};
}

timespec to_timespec(Wait wait) {
    const std::uint64_t ms = wait.count();
    return timespec{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000 * 1'000'000)};
}

// Owns a descriptor of a terminal held in exclusive mode. Releasing it leaves
// exclusive mode and closes it, which also drops the flock lock.
class HeldPort {
public:
    explicit HeldPort(int fd) noexcept : fd_(fd) {}
    HeldPort(HeldPort&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    HeldPort& operator=(HeldPort&&) = delete;
    ~HeldPort() {
        if (fd_ >= 0) {
            ::ioctl(fd_, kTiocNxcl);
            ::close(fd_);
        }
    }
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// Exclusive mode keeps others from opening the device; the lock keeps out
// anyone who opens it before exclusive mode (or as a privileged user).
Step claim_exclusive(int fd) {
    if (::ioctl(fd, kTiocExcl) == -1) {
        return errno_failure();
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno == EWOULDBLOCK) {
            return failure("Unable to acquire exclusive lock on serial port");
        }
        return errno_failure();
    }
    return {};
}

bool same_flag_words(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
           && a.c_lflag == b.c_lflag;
}

// Raw mode with the receiver on and modem status ignored. Some drivers quietly
// drop settings they do not support, so the result is read back and compared;
// a read-back that fails counts as a mismatch.
Step make_raw(int fd) {
    termios wanted{};
    if (::tcgetattr(fd, &wanted) == -1) {
        return errno_failure();
    }
    wanted.c_cflag |= CREAD | CLOCAL;
    ::cfmakeraw(&wanted);
    (void)::tcsetattr(fd, TCSANOW, &wanted);
    termios applied{};
    if (::tcgetattr(fd, &applied) == -1 || !same_flag_words(wanted, applied)) {
        return failure("Settings did not apply correctly");
    }
    return {};
}

// Clears O_NONBLOCK (and every other status flag): from here on reads block,
// bounded by the wait before each one.
Step make_blocking(int fd) {
    if (::fcntl(fd, F_SETFL, 0) == -1) {
        return errno_failure();
    }
    return {};
}

// 8 data bits, no parity, 1 stop bit, no flow control, `baud` bits per second
// as given (the arbitrary-speed fields take any value, standard or not).
void set_line_format(KernelTermios2& t2, std::uint32_t baud) {
    t2.c_iflag = (t2.c_iflag & ~(kInpck | kIxon | kIxoff)) | kIgnpar;
    t2.c_cflag &= ~(kParenb | kParodd | kCrtscts);
    t2.c_cflag = (t2.c_cflag & kLineMask) | kCs8 | kBother;
    t2.c_ispeed = baud;
    t2.c_ospeed = baud;
}

Step set_line(int fd, std::uint32_t baud) {
    KernelTermios2 t2{};
    if (::ioctl(fd, kTcGets2, &t2) == -1) {
        return errno_failure();
    }
    set_line_format(t2, baud);
    if (::ioctl(fd, kTcSets2, &t2) == -1) {
        return errno_failure();
    }
    return {};
}

// The poll events of the generic Linux interface (x86-64 and arm64 alike);
// any bit above them is an event this code does not know.
constexpr std::uint16_t kKnownPollEvents = 0x3FF;
static_assert((POLLIN | POLLPRI | POLLOUT | POLLERR | POLLHUP | POLLNVAL | POLLRDNORM | POLLRDBAND
               | POLLWRNORM | POLLWRBAND) == kKnownPollEvents);

// Whether the events of a finished wait mean "bytes are waiting".
Step check_poll_events(short revents) {
    const auto events = static_cast<std::uint16_t>(revents);
    if ((events & ~kKnownPollEvents) != 0) {
        return errno_failure(EIO);
    }
    if (events == POLLIN) {
        return {};
    }
    if ((events & (POLLHUP | POLLNVAL)) != 0) {
        return errno_failure(EPIPE);  // the line hung up
    }
    return errno_failure(EIO);
}

class SerialSource final : public ByteSource {
public:
    SerialSource(HeldPort port, Wait wait) noexcept : port_(std::move(port)), wait_(wait) {}

    ReadResult read(std::span<std::uint8_t> into, const std::atomic<bool>& keep_going) override {
        if (Step ready = wait_for_input(keep_going); !ready) {
            return Unexpected(std::move(ready.error()));
        }
        const ssize_t n = ::read(port_.fd(), into.data(), into.size());
        if (n == -1) {
            return errno_failure();
        }
        return static_cast<std::size_t>(n);
    }

private:
    // Waits up to `wait_` for input. A finite wait runs its course, stop or
    // not: the read in progress then takes what arrives in time, and a stop
    // waits for it. Only a wait too long to be held (the timeout saturated)
    // would never end by itself; it is taken in slices of kStopCheckInterval,
    // and once a slice runs out with `keep_going` false it ends as if it had
    // run out. No signal is blocked during the wait, and an interrupted wait
    // is not retried: it ends the read with EINTR's text.
    Step wait_for_input(const std::atomic<bool>& keep_going) {
        if (wait_ != kEndless) {
            return poll_for_input(wait_);
        }
        for (;;) {
            Step ready = poll_for_input(Wait{kStopCheckInterval.count()});
            if (ready || ready.error() != timed_out() || !keep_going.load(std::memory_order_relaxed)) {
                return ready;
            }
        }
    }

    // One wait of at most `limit` for input.
    Step poll_for_input(Wait limit) {
        pollfd entry{port_.fd(), POLLIN, 0};
        const timespec until = to_timespec(limit);
        sigset_t none;
        ::sigemptyset(&none);
        const int ready = ::ppoll(&entry, 1, &until, &none);
        if (ready == -1) {
            return errno_failure();
        }
        if (ready != 1) {
            return Unexpected(timed_out());
        }
        return check_poll_events(entry.revents);
    }

    HeldPort port_;
    Wait wait_;
};

}  // namespace

OpenResult open_serial_port(std::string_view port, std::uint32_t baud, double timeout) {
    if (port.find('\0') != std::string_view::npos) {
        return errno_failure(EINVAL);
    }
    const std::string path(port);
    // Non-blocking so that opening never waits for carrier; cleared below.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) {
        return errno_failure();
    }
    HeldPort held(fd);  // from here on, every failure releases the port
    Step done = claim_exclusive(fd);
    if (done) done = make_raw(fd);
    if (done) done = make_blocking(fd);
    if (done) done = set_line(fd, baud);
    if (!done) {
        return Unexpected(std::move(done.error()));
    }
    return std::make_unique<SerialSource>(std::move(held), wait_from_timeout(timeout));
}

}  // namespace brimlet
