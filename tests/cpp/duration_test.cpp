#include "parser/duration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace brimlet {
namespace {

constexpr std::int64_t kLongest = std::numeric_limits<std::int64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    double seconds;
    std::int64_t nanos;  // -1: refused
};

class SecondsToDuration : public testing::TestWithParam<Row> {};

TEST_P(SecondsToDuration, RoundsToNearestEvenAndSaturates) {
    const auto [seconds, nanos] = GetParam();
    const auto got = seconds_to_duration(seconds);
    if (nanos < 0) {
        ASSERT_FALSE(got.has_value()) << seconds;
    } else {
        ASSERT_TRUE(got.has_value()) << seconds;
        EXPECT_EQ(got->count(), nanos) << seconds;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SecondsToDuration,
    testing::Values(
        Row{0.0, 0}, Row{-0.0, 0}, Row{1.0, 1'000'000'000}, Row{0.1, 100'000'000}, Row{1e9, 1'000'000'000'000'000'000},
        // Exact halves of a nanosecond go to the even neighbour, either way.
        Row{0x1p-10, 976'562}, Row{0x3p-10, 2'929'688}, Row{0x1p-30, 1}, Row{0x3p-31, 1},
        // Just above a half rounds up, just below rounds down.
        Row{0x1p-10 + 0x1p-60, 976'563}, Row{0x3p-10 - 0x1p-60, 2'929'687},
        // Subnormal and the smallest normal inputs are no time at all.
        Row{std::numeric_limits<double>::denorm_min(), 0}, Row{0x1p-1050, 0},
        Row{std::numeric_limits<double>::min(), 0},
        // The largest count of nanoseconds, and saturation beyond it up to 2^64 s.
        Row{9'223'372'036.5, 9'223'372'036'500'000'000}, Row{9'223'372'037.0, kLongest},
        Row{0x1p63, kLongest}, Row{0x1p64 - 0x1p11, kLongest},
        // Refused: negative, 2^64 seconds and beyond, NaN.
        Row{-0x1p-1074, -1}, Row{-1.0, -1}, Row{0x1p64, -1}, Row{kInf, -1}, Row{-kInf, -1}, Row{std::nan(""), -1}));

TEST(SecondsToDuration, RefusalsSayWhy) {
    EXPECT_EQ(seconds_to_duration(-1.0).error().message,
              "cannot convert float seconds to Duration: value is negative");
    EXPECT_EQ(seconds_to_duration(std::nan("")).error().message,
              "cannot convert float seconds to Duration: value is either too big or NaN");
}

}  // namespace
}  // namespace brimlet
