#include "protocol/float_text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace brimlet {
namespace {

// The reference: the hand-written digit generation the text form used before
// it took the library's, by the method of Ulf Adams ("Ryu: fast
// float-to-string conversion", PLDI 2018), and the layout written the plain way.

using u128 = unsigned __int128;

constexpr int kMantissaBits = 23;
constexpr int kExponentBias = 127;
constexpr int kInverseBits = 59;  // bits of 2^k / 5^q kept in kInverse
constexpr int kPowerBits = 61;    // bits of 5^i kept in kPower

// ceil(log2(5^e)) for 0 <= e <= 3528, the bits of 5^e.
constexpr int pow5_bits(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 1217359) >> 19) + 1; }
// floor(log10(2^e)) and floor(log10(5^e)), for the exponents of a float.
constexpr int log10_pow2(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 78913) >> 18); }
constexpr int log10_pow5(int e) { return static_cast<int>((static_cast<std::uint32_t>(e) * 732923) >> 20); }

constexpr u128 pow5(int e) {
    u128 p = 1;
    for (int k = 0; k < e; ++k) p *= 5;
    return p;
}

// floor(2^(pow5_bits(q) - 1 + kInverseBits) / 5^q) + 1: 1 / 5^q, scaled.
constexpr auto kInverse = [] {
    std::array<std::uint64_t, 31> table{};
    for (int q = 0; q < static_cast<int>(table.size()); ++q) {
        const int shift = pow5_bits(q) - 1 + kInverseBits;
        // 2^128 does not fit; 2^128 - 1 has the same quotient by a power of five.
        const u128 numerator = shift == 128 ? ~u128{0} : u128{1} << shift;
        table[q] = static_cast<std::uint64_t>(numerator / pow5(q) + 1);
    }
    return table;
}();

// The top kPowerBits bits of 5^i.
constexpr auto kPower = [] {
    std::array<std::uint64_t, 48> table{};
    for (int i = 0; i < static_cast<int>(table.size()); ++i) {
        const int bits = pow5_bits(i);
        table[i] = static_cast<std::uint64_t>(bits >= kPowerBits ? pow5(i) >> (bits - kPowerBits)
                                                                 : pow5(i) << (kPowerBits - bits));
    }
    return table;
}();

constexpr std::uint32_t mul_shift(std::uint32_t m, std::uint64_t factor, int shift) {
    return static_cast<std::uint32_t>((u128{m} * factor) >> shift);
}

constexpr bool multiple_of_pow5(std::uint32_t value, int p) {
    int count = 0;
    for (; value % 5 == 0; value /= 5) ++count;
    return count >= p;
}

constexpr bool multiple_of_pow2(std::uint32_t value, int p) { return (value & ((1u << p) - 1)) == 0; }

// value = digits × 10^exponent, with the fewest digits that read back as
// the value (the nearest such, ties to even).
struct Decimal {
    std::uint32_t digits;
    int exponent;
};

// `bits` of a positive, finite, non-zero float.
Decimal shortest(std::uint32_t bits) {
    const std::uint32_t mantissa = bits & ((1u << kMantissaBits) - 1);
    const int biased = static_cast<int>(bits >> kMantissaBits);
    // value = m2 × 2^e2, with two more bits for the interval's bounds.
    const int e2 = (biased == 0 ? 1 : biased) - kExponentBias - kMantissaBits - 2;
    const std::uint32_t m2 = biased == 0 ? mantissa : (1u << kMantissaBits) | mantissa;
    const bool accept_bounds = (m2 & 1) == 0;  // a tie reads back as the even mantissa
    const std::uint32_t mv = 4 * m2, mp = 4 * m2 + 2;
    // At a power of two the next value down is half as far.
    const std::uint32_t mm_shift = mantissa != 0 || biased <= 1;
    const std::uint32_t mm = 4 * m2 - 1 - mm_shift;

    // vr, vp, vm: the value and its bounds, times 10^-e10, truncated.
    std::uint32_t vr, vp, vm;
    int e10;
    bool vm_zeros = false, vr_zeros = false;
    std::uint32_t last_removed = 0;
    if (e2 >= 0) {
        const int q = log10_pow2(e2);
        e10 = q;
        const int shift = -e2 + q + kInverseBits + pow5_bits(q) - 1;
        vr = mul_shift(mv, kInverse[q], shift);
        vp = mul_shift(mp, kInverse[q], shift);
        vm = mul_shift(mm, kInverse[q], shift);
        if (q != 0 && (vp - 1) / 10 <= vm / 10) {
            // The digit below vr is needed even when none is removed below.
            const int l = -e2 + q - 1 + kInverseBits + pow5_bits(q - 1) - 1;
            last_removed = mul_shift(mv, kInverse[q - 1], l) % 10;
        }
        if (q <= 9) {
            // At most one of mp, mv and mm is a multiple of 5.
            if (mv % 5 == 0) {
                vr_zeros = multiple_of_pow5(mv, q);
            } else if (accept_bounds) {
                vm_zeros = multiple_of_pow5(mm, q);
            } else {
                vp -= multiple_of_pow5(mp, q);
            }
        }
    } else {
        const int q = log10_pow5(-e2);
        e10 = q + e2;
        const int i = -e2 - q;
        const int shift = q - (pow5_bits(i) - kPowerBits);
        vr = mul_shift(mv, kPower[i], shift);
        vp = mul_shift(mp, kPower[i], shift);
        vm = mul_shift(mm, kPower[i], shift);
        if (q != 0 && (vp - 1) / 10 <= vm / 10) {
            const int j = q - 1 - (pow5_bits(i + 1) - kPowerBits);
            last_removed = mul_shift(mv, kPower[i + 1], j) % 10;
        }
        if (q <= 1) {
            // mv has two trailing zero bits, mp one; mm one when mm_shift is 1.
            vr_zeros = true;
            if (accept_bounds) {
                vm_zeros = mm_shift == 1;
            } else {
                --vp;
            }
        } else if (q < 31) {
            vr_zeros = multiple_of_pow2(mv, q - 1);
        }
    }

    int removed = 0;
    std::uint32_t digits;
    if (vm_zeros || vr_zeros) {
        // Rare: the exact bounds matter.
        for (; vp / 10 > vm / 10; ++removed) {
            vm_zeros &= vm % 10 == 0;
            vr_zeros &= last_removed == 0;
            last_removed = vr % 10;
            vr /= 10;
            vp /= 10;
            vm /= 10;
        }
        if (vm_zeros) {
            for (; vm % 10 == 0; ++removed) {
                vr_zeros &= last_removed == 0;
                last_removed = vr % 10;
                vr /= 10;
                vp /= 10;
                vm /= 10;
            }
        }
        if (vr_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;  // exactly halfway: to even
        digits = vr + ((vr == vm && (!accept_bounds || !vm_zeros)) || last_removed >= 5);
    } else {
        for (; vp / 10 > vm / 10; ++removed) {
            last_removed = vr % 10;
            vr /= 10;
            vp /= 10;
            vm /= 10;
        }
        digits = vr + (vr == vm || last_removed >= 5);
    }
    return {digits, e10 + removed};
}

std::string reference(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";
    const Decimal d = shortest(std::bit_cast<std::uint32_t>(magnitude));
    const std::string digits = std::to_string(d.digits);
    const int exponent = d.exponent + static_cast<int>(digits.size()) - 1;
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

TEST(FloatText, AgreesWithTheHandWrittenDigits) {
    // Every exponent with mantissas spread over it, the values on either side
    // of every power of two (where the neighbours lie unevenly apart), the
    // named edges, then a seeded sample of finite floats.
    std::vector<float> values{0.0f,
                              -0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::lowest(),
                              std::nextafter(1e-4f, 0.0f),
                              std::nextafter(1e16f, INFINITY)};
    for (int e = -37; e <= 38; ++e) values.push_back(std::stof("1e" + std::to_string(e)));
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4099) {
        values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    }
    for (std::uint32_t exponent = 0; exponent < 255; ++exponent) {
        for (std::uint32_t mantissa : {0u, 1u, 2u, 0x7FFFFEu, 0x7FFFFFu}) {
            values.push_back(std::bit_cast<float>(exponent << 23 | mantissa));
        }
    }
    std::mt19937 random(27);
    for (int n = 0; n < 300'000; ++n) {
        const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
        if (std::isfinite(value)) values.push_back(value);
    }
    for (float value : values) {
        ASSERT_EQ(written(value), reference(value)) << std::hex << std::bit_cast<std::uint32_t>(value);
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
