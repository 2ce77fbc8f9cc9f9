#include "protocol/float_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace brimlet {
namespace {

// The rule written the plain way, from the library's shortest digits.
std::string reference(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";
    char buf[32];
    const char* end = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific).ptr;
    const std::string_view text(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), end, exponent);
    if (magnitude >= 1e16f || magnitude < 1e-4f) {
        const std::string rest = digits.size() > 1 ? "." + digits.substr(1) : "";
        return sign + digits[0] + rest + "e" + std::to_string(exponent);
    }
    if (exponent < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    const auto whole = static_cast<std::size_t>(exponent + 1);
    if (digits.size() <= whole) return sign + digits + std::string(whole - digits.size(), '0') + ".0";
    return sign + digits.substr(0, whole) + "." + digits.substr(whole);
}

std::string written(float value, const NonFiniteWords& words = kTextWords) {
    char buf[kF32TextMax];
    return std::string(buf, write_f32(buf, value, words));
}

TEST(FloatText, AgreesWithTheLibrarysShortestDigits) {
    // Every exponent with mantissas spread over it, and the values on either
    // side of every power of two, where the neighbours lie unevenly apart.
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4099) {
        const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        ASSERT_EQ(written(value), reference(value)) << std::hex << bits;
    }
    for (std::uint32_t exponent = 0; exponent < 255; ++exponent) {
        for (std::uint32_t mantissa : {0u, 1u, 2u, 0x7FFFFEu, 0x7FFFFFu}) {
            const float value = std::bit_cast<float>(exponent << 23 | mantissa);
            ASSERT_EQ(written(value), reference(value)) << exponent << " " << mantissa;
        }
    }
}

TEST(FloatText, NonFiniteWordsOfEachStyle) {
    const float signalling = std::bit_cast<float>(0x7F800001u), negative_nan = std::bit_cast<float>(0xFFC00000u);
    for (float nan : {signalling, negative_nan}) {
        EXPECT_EQ(written(nan), "NaN");
        EXPECT_EQ(written(nan, kJsonWords), "NaN");
    }
    EXPECT_EQ(written(-INFINITY, kJsonWords), "-Infinity");
    EXPECT_EQ(written(INFINITY, kJsonWords), "Infinity");
}

}  // namespace
}  // namespace brimlet
