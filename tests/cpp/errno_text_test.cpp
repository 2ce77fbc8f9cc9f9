#include "serial/errno_text.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace brimlet {
namespace {

using Row = std::pair<int, const char*>;

class SerialErrnoText : public testing::TestWithParam<Row> {};

TEST_P(SerialErrnoText, UsesKernelWordingAndKeepsTheNumber) {
    const auto [err, text] = GetParam();
    EXPECT_EQ(serial_errno_text(err), text);
    EXPECT_EQ(serial_errno_failure(err), (SourceFailure{text, err}));  // even where the words are unknown
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialErrnoText,
    testing::Values(Row{1, "Operation not permitted"}, Row{2, "No such file or directory"},
                    Row{4, "Interrupted system call"}, Row{9, "Bad file number"}, Row{11, "Try again"},
                    Row{16, "Device or resource busy"}, Row{25, "Not a typewriter"},
                    Row{40, "Too many symbolic links encountered"}, Row{42, "No message of desired type"},
                    Row{59, "Bad font file format"}, Row{133, "Memory page has hardware error"},
                    // Reworded from the kernel's comment.
                    Row{38, "Function not implemented"}, Row{125, "Operation canceled"},
                    // Gaps and out of range.
                    Row{0, "Unknown errno"}, Row{41, "Unknown errno"}, Row{58, "Unknown errno"},
                    Row{134, "Unknown errno"}, Row{-1, "Unknown errno"}));

TEST(FileErrnoText, UsesCLibraryWordingAndNumber) {
    EXPECT_EQ(file_errno_text(2), "No such file or directory (os error 2)");
    EXPECT_EQ(file_errno_text(9), "Bad file descriptor (os error 9)");
    EXPECT_TRUE(file_errno_text(100000).ends_with(" (os error 100000)"));
    EXPECT_EQ(file_errno_failure(32), (SourceFailure{"Broken pipe (os error 32)", 32}));
}

}  // namespace
}  // namespace brimlet
