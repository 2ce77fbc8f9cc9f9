#include "common/expected.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace brimlet {
namespace {

struct TimedOut {
    bool operator==(const TimedOut&) const = default;
};
using Reason = std::string;
using AnyFailure = std::variant<Reason, TimedOut>;
using Done = Expected<void, AnyFailure>;

TEST(Expected, HoldsTheSideItWasMadeWith) {
    // The same type on both sides: only how it was made tells them apart.
    const Expected<std::string, Reason> value = std::string("same"), failure = Unexpected(Reason("same"));
    ASSERT_TRUE(value.has_value());
    ASSERT_FALSE(failure);
    EXPECT_EQ(*value, "same");
    EXPECT_EQ(failure.error(), "same");
    EXPECT_NE(value, failure);
    EXPECT_EQ(failure.value_or("fallback"), "fallback");
    EXPECT_EQ(value->size(), 4U);

    // A narrower failure, or a whole narrower outcome, widens.
    const Expected<int, AnyFailure> timed_out = Unexpected(TimedOut{});
    EXPECT_TRUE(std::holds_alternative<TimedOut>(timed_out.error()));
    const Expected<long, AnyFailure> gone = Expected<int, Reason>(Unexpected(Reason("gone")));
    EXPECT_EQ(std::get<Reason>(gone.error()), "gone");
    const Expected<long, AnyFailure> seven = Expected<int, TimedOut>(7);
    EXPECT_EQ(*seven, 7L);

    // A move-only value moves in and out; assignment may change the side.
    Expected<std::unique_ptr<int>, Reason> owned = Unexpected(Reason("none yet"));
    owned = std::make_unique<int>(5);
    ASSERT_TRUE(owned);
    const std::unique_ptr<int> taken = *std::move(owned);
    EXPECT_EQ(*taken, 5);
}

TEST(Expected, VoidHoldsOnlyAFailure) {
    Done done;
    EXPECT_TRUE(done);
    EXPECT_EQ(done, Done());
    done = Unexpected(Reason("Broken pipe"));
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(std::get<Reason>(done.error()), "Broken pipe");
    EXPECT_NE(done, Done(Unexpected(TimedOut{})));
}

}  // namespace
}  // namespace brimlet
