// The serial source against pseudo-terminals: the test holds the master side
// and plays the device; the source opens the slave side as its port.

#include "serial/serial_source.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace brimlet {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using Clock = std::chrono::steady_clock;

// The kernel's arbitrary-speed terminal record, to read the line back.
struct Termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line, c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

// The descriptors of this process that are open on `path`.
std::vector<int> fds_open_on(const std::string& path) {
    std::vector<int> fds;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == path) {
            fds.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return fds;
}

class SerialSourceTest : public testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_) | ::unlockpt(master_), 0);
        std::array<char, 128> name{};
        ASSERT_EQ(::ptsname_r(master_, name.data(), name.size()), 0);
        port_ = name.data();
    }
    void TearDown() override { hang_up(); }

    std::unique_ptr<ByteSource> open_port(double timeout, std::uint32_t baud = kDefaultBaudrate) {
        OpenResult opened = open_serial_port(port_, baud, timeout);
        EXPECT_TRUE(opened.has_value()) << opened.error().text;
        return opened ? std::move(*opened) : nullptr;
    }
    void send(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the port's input queue holds `size` bytes: the terminal
    // layer passes written bytes on a moment later, longer on a busy machine.
    void wait_for_queued(int size) {
        const std::vector<int> fds = fds_open_on(port_);
        ASSERT_EQ(fds.size(), 1u);
        int queued = 0;
        for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
            ASSERT_EQ(::ioctl(fds[0], FIONREAD, &queued), 0);
            if (queued >= size) return;
        }
        FAIL() << queued << " of " << size << " bytes queued";
    }
    void hang_up() {
        if (master_ >= 0) {
            ::close(std::exchange(master_, -1));
        }
    }

    int master_ = -1;
    std::string port_;
    std::array<std::uint8_t, 2048> span_{};
};

class LineSettings : public SerialSourceTest, public testing::WithParamInterface<std::uint32_t> {};

TEST_P(LineSettings, RawEightNOneAtTheGivenSpeed) {
    auto source = open_port(0.1, GetParam());
    ASSERT_TRUE(source);
    const std::vector<int> fds = fds_open_on(port_);
    ASSERT_EQ(fds.size(), 1u);
    Termios2 t2{};
    ASSERT_EQ(::ioctl(fds[0], 0x802C542A /* TCGETS2 */, &t2), 0);
    EXPECT_EQ(t2.c_ispeed, GetParam());
    EXPECT_EQ(t2.c_ospeed, GetParam());
    EXPECT_EQ(t2.c_cflag & (0x100F | CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CREAD | CLOCAL),
              0x1000u /* BOTHER */ | CS8 | CREAD | CLOCAL);
    EXPECT_EQ(t2.c_iflag & (INPCK | IXON | IXOFF | ICRNL | IGNPAR), static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t2.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t2.c_oflag & OPOST, 0u);
    EXPECT_EQ(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, LineSettings,
                         testing::Values(115200u, 9600u, 250000u, 12345u, 0u, 0xFFFFFFFFu));

TEST_F(SerialSourceTest, ReadsWhatHasArrivedUpToTheSpan) {
    auto source = open_port(1.0);
    ASSERT_TRUE(source);
    send("\x75\x65\x80\x0e\xff\x00hello"sv);
    wait_for_queued(11);
    std::array<std::uint8_t, 4> small{};
    ASSERT_EQ(source->read(small), ReadResult(4));
    EXPECT_EQ(small, (std::array<std::uint8_t, 4>{0x75, 0x65, 0x80, 0x0e}));
    ASSERT_EQ(source->read(span_), ReadResult(7));
    EXPECT_EQ(std::string(span_.begin(), span_.begin() + 7), "\xff\x00hello"sv);
}

class ShortWait : public SerialSourceTest, public testing::WithParamInterface<double> {};

// Below one millisecond (or not a number) there is no wait: a silent line
// fails at once, well within the bound a wait that must end is given.
TEST_P(ShortWait, SilentLineTimesOutAtOnce) {
    auto source = open_port(GetParam());
    ASSERT_TRUE(source);
    const auto started = Clock::now();
    EXPECT_EQ(source->read(span_).error(), (SourceFailure{"Operation timed out", 0}));  // the caller's limit, no errno
    EXPECT_LT(Clock::now() - started, test::kWaitMargin * kStopCheckInterval);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, ShortWait,
                         testing::Values(0.0, 0.000999, -1e300, std::numeric_limits<double>::quiet_NaN()));

TEST_F(SerialSourceTest, WaitsTheTimeoutThenTheLineStaysUsable) {
    auto source = open_port(0.1);
    ASSERT_TRUE(source);
    const auto started = Clock::now();
    EXPECT_EQ(source->read(span_).error(), "Operation timed out");
    EXPECT_GE(Clock::now() - started, 95ms);
    send("ab");
    EXPECT_EQ(source->read(span_), ReadResult(2));
}

class LongWait : public SerialSourceTest, public testing::WithParamInterface<double> {};

// Huge timeouts saturate instead of overflowing into a bad time limit.
TEST_P(LongWait, DataEndsTheWait) {
    auto source = open_port(GetParam());
    ASSERT_TRUE(source);
    auto reading = std::async(std::launch::async, [&] { return source->read(span_); });
    std::this_thread::sleep_for(30ms);
    send("xyz");
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), ReadResult(3));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, LongWait,
                         testing::Values(30.0, 1e300, std::numeric_limits<double>::infinity()));

// A finite wait is not cut short by a stop: the read in progress still takes
// the bytes that arrive before its wait runs out.
TEST_F(SerialSourceTest, StopLeavesAFiniteWaitToRunItsCourse) {
    auto source = open_port(30.0);
    ASSERT_TRUE(source);
    std::atomic<bool> keep_going{true};
    auto reading = std::async(std::launch::async, [&] { return source->read(span_, keep_going); });
    std::this_thread::sleep_for(30ms);
    keep_going = false;
    EXPECT_EQ(reading.wait_for(3 * kStopCheckInterval), std::future_status::timeout);
    send("xyz");
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), ReadResult(3));
}

// A timeout too long to be held (it saturates) never ends by itself: a stop
// ends it within about one check interval, as if it had run out.
class EndlessWait : public SerialSourceTest, public testing::WithParamInterface<double> {};

TEST_P(EndlessWait, StopEndsTheWaitAsIfItRanOut) {
    auto source = open_port(GetParam());
    ASSERT_TRUE(source);
    std::atomic<bool> keep_going{true};
    auto reading = std::async(std::launch::async, [&] { return source->read(span_, keep_going); });
    EXPECT_EQ(reading.wait_for(2 * kStopCheckInterval), std::future_status::timeout);
    const auto told = Clock::now();
    keep_going = false;
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - told, test::kWaitMargin * kStopCheckInterval);
    EXPECT_EQ(reading.get().error(), "Operation timed out");
}

INSTANTIATE_TEST_SUITE_P(Timeouts, EndlessWait,
                         testing::Values(1e17, 1e300, std::numeric_limits<double>::infinity()));

TEST_F(SerialSourceTest, HangUpBreaksThePipe) {
    auto source = open_port(5.0);
    ASSERT_TRUE(source);
    hang_up();
    EXPECT_EQ(source->read(span_).error(), (SourceFailure{"Broken pipe", EPIPE}));
}

// The wait runs with no signal blocked, so even a signal that the thread
// blocks interrupts it; the read is not retried.
TEST_F(SerialSourceTest, SignalDuringWaitInterruptsTheRead) {
    auto source = open_port(10.0);
    ASSERT_TRUE(source);
    struct sigaction action{}, previous{};
    action.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    std::promise<pthread_t> reader;
    auto reading = std::async(std::launch::async, [&] {
        sigset_t blocked;
        ::sigemptyset(&blocked);
        ::sigaddset(&blocked, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        reader.set_value(::pthread_self());
        return source->read(span_);
    });
    ASSERT_EQ(::pthread_kill(reader.get_future().get(), SIGUSR1), 0);
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(reading.get().error(), (SourceFailure{"Interrupted system call", EINTR}));
}

TEST_F(SerialSourceTest, PortIsHeldExclusivelyUntilReleased) {
    auto first = open_port(1.0);
    ASSERT_TRUE(first);
    // Exclusive mode refuses the open; root bypasses it and meets the lock.
    const std::string refused = open_serial_port(port_, 115200, 1.0).error().text;
    EXPECT_TRUE(refused == "Device or resource busy"
                || refused == "Unable to acquire exclusive lock on serial port")
        << refused;
    EXPECT_EQ(fds_open_on(port_).size(), 1u);
    send("ok");
    EXPECT_EQ(first->read(span_), ReadResult(2));

    first.reset();
    EXPECT_TRUE(fds_open_on(port_).empty());
    EXPECT_TRUE(open_port(1.0));
}

// A failure to open gives the text of the step that failed and leaves nothing open.
TEST(SerialOpenFailure, EachFailureHasItsTextAndLeavesNothingOpen) {
    std::string pattern = (fs::temp_directory_path() / "brimlet-serial-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "plain.bin") << "not a terminal";
    auto open_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open_fds();
    for (const auto& [path, failure] : std::vector<std::pair<std::string, SourceFailure>>{
             {(dir / "missing").string(), {"No such file or directory", ENOENT}},
             {(dir / "plain.bin").string(), {"Not a typewriter", ENOTTY}},
             {dir.string(), {"Is a directory", EISDIR}},
             {(dir / "tty").string() + std::string(1, '\0') + "S0", {"Invalid argument", EINVAL}}}) {
        const std::string& text = failure.text;
        EXPECT_EQ(open_serial_port(path, 115200, 0.1).error(), failure);
        EXPECT_EQ(open_fds(), before) << text;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace brimlet
