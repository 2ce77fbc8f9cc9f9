#include "serial/file_source.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace brimlet {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FileSourceTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "brimlet-file-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<ByteSource> open_ok(const fs::path& path) {
        OpenResult opened = open_recording(path.string());
        EXPECT_TRUE(opened.has_value()) << opened.error().text;
        return opened ? std::move(*opened) : nullptr;
    }

    fs::path dir_;
    std::array<std::uint8_t, 2048> span_{};
};

TEST_F(FileSourceTest, ReadsInBoundedChunksAndNeverRewinds) {
    std::string bytes(5000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    std::ofstream(dir_ / "rec.bin", std::ios::binary) << bytes;
    auto source = open_ok(dir_ / "rec.bin");
    ASSERT_TRUE(source);

    std::string got;
    for (std::size_t expected : {2048, 2048, 904}) {
        ASSERT_EQ(source->read(span_), ReadResult(expected));
        got.append(span_.begin(), span_.begin() + static_cast<std::ptrdiff_t>(expected));
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(source->read(span_), ReadResult(0));
    EXPECT_EQ(source->read(span_), ReadResult(0));
}

TEST_F(FileSourceTest, EmptyRecordingEndsAtOnce) {
    std::ofstream(dir_ / "empty.bin").close();
    auto source = open_ok(dir_ / "empty.bin");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->read(span_), ReadResult(0));
}

TEST_F(FileSourceTest, DirectoryOpensButEveryReadFails) {
    auto source = open_ok(dir_);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->read(span_).error(), "Is a directory (os error 21)");
    EXPECT_EQ(source->read(span_).error(), "Is a directory (os error 21)");
}

TEST_F(FileSourceTest, OpenFailuresCarryTheirText) {
    EXPECT_EQ(open_recording((dir_ / "missing.bin").string()).error(),
              "No such file or directory (os error 2)");
    const std::string with_nul = (dir_ / "a").string() + std::string(1, '\0') + "b";
    EXPECT_EQ(open_recording(with_nul).error(), "file name contained an unexpected NUL byte");
}

// A FIFO or a terminal opened as a recording, with a writer that stays open
// and silent: a read waits for input, and once told to stop ends within about
// one check interval with nothing read, like the end of data.
class SilentWriter : public FileSourceTest, public testing::WithParamInterface<bool> {
protected:
    // The path to open and the writer's descriptor.
    std::pair<fs::path, int> make_endpoint() {
        if (GetParam()) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
            std::array<char, 128> name{};
            EXPECT_EQ(::grantpt(master) | ::unlockpt(master) | ::ptsname_r(master, name.data(), name.size()), 0);
            return {fs::path(name.data()), master};
        }
        const fs::path path = dir_ / "stream";
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return {path, ::open(path.c_str(), O_RDWR)};
    }
};

TEST_P(SilentWriter, WaitEndsWhenToldToStop) {
    const auto [path, writer] = make_endpoint();
    ASSERT_GE(writer, 0);
    auto source = open_ok(path);
    ASSERT_TRUE(source);
    std::atomic<bool> keep_going{true};
    ASSERT_EQ(::write(writer, "abc\n", 4), 4);
    EXPECT_EQ(source->read(span_, keep_going), ReadResult(4));
    auto reading = std::async(std::launch::async, [&] { return source->read(span_, keep_going); });
    EXPECT_EQ(reading.wait_for(2 * kStopCheckInterval), std::future_status::timeout);
    const auto told = std::chrono::steady_clock::now();
    keep_going = false;
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - told, test::kWaitMargin * kStopCheckInterval);
    EXPECT_EQ(reading.get(), ReadResult(0));
    // Later reads still get what arrives.
    keep_going = true;
    ASSERT_EQ(::write(writer, "de\n", 3), 3);
    EXPECT_EQ(source->read(span_, keep_going), ReadResult(3));
    ::close(writer);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, SilentWriter, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Terminal" : "Fifo"; });

}  // namespace
}  // namespace brimlet
