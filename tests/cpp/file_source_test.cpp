#include "serial/file_source.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace brimlet {
namespace {

namespace fs = std::filesystem;

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
        EXPECT_TRUE(opened.has_value()) << opened.error();
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

}  // namespace
}  // namespace brimlet
