#include "protocol/float_text.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace brimlet {

namespace {

// ---- shortest digits --------------------------------------------------------
//
// The shortest decimal that reads back as a given single-precision value, by
// the method of Ulf Adams ("Ryū: fast float-to-string conversion", PLDI 2018):
// the value and the bounds of the interval that rounds to it are scaled by a
// power of ten with 64-bit fixed-point factors, then digits are removed while
// the bounds still differ; the last removed digit rounds the result. Integer
// arithmetic only, a few tens of nanoseconds a value.

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

// ---- layout -----------------------------------------------------------------

char* copy(std::string_view text, char* out) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* fill(char* out, char c, int count) {
    std::memset(out, c, static_cast<std::size_t>(count));
    return out + count;
}

// The digits of a Decimal as text, and the exponent of the first one.
struct Digits {
    char text[12];
    int count;
    int exponent;
};

Digits digits_of(Decimal d) {
    Digits out;
    out.count = static_cast<int>(std::to_chars(out.text, out.text + sizeof out.text, d.digits).ptr - out.text);
    out.exponent = d.exponent + out.count - 1;
    return out;
}

// 1.5e-5, 1e16: the exponent without a sign when positive, without leading zeros.
char* exponent_form(char* out, const Digits& d) {
    *out++ = d.text[0];
    if (d.count > 1) {
        *out++ = '.';
        out = copy({d.text + 1, static_cast<std::size_t>(d.count - 1)}, out);
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, d.exponent).ptr;
}

// 0.00012, 1000.0, 12.5: at least one digit on each side of the point.
char* decimal_form(char* out, const Digits& d) {
    const std::string_view digits(d.text, static_cast<std::size_t>(d.count));
    if (d.exponent < 0) {
        out = copy("0.", out);
        out = fill(out, '0', -d.exponent - 1);
        return copy(digits, out);
    }
    const int whole = d.exponent + 1;
    if (d.count <= whole) {
        out = copy(digits, out);
        out = fill(out, '0', whole - d.count);
        return copy(".0", out);
    }
    out = copy(digits.substr(0, static_cast<std::size_t>(whole)), out);
    *out++ = '.';
    return copy(digits.substr(static_cast<std::size_t>(whole)), out);
}

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kExponentMask = 0x7F800000u;
constexpr std::uint32_t kSmallest = 0x38D1B717u;  // the float nearest to 1e-4
constexpr std::uint32_t kLargest = 0x5A0E1BCAu;   // the float nearest to 1e16
static_assert(std::bit_cast<std::uint32_t>(1e-4f) == kSmallest && std::bit_cast<std::uint32_t>(1e16f) == kLargest);

}  // namespace

char* write_f32(char* out, float value, const NonFiniteWords& words) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t magnitude = bits & ~kSignBit;
    if ((magnitude & kExponentMask) == kExponentMask) {
        if (magnitude != kExponentMask) return copy(words.nan, out);
        return copy(bits & kSignBit ? words.minus_inf : words.inf, out);
    }
    if (bits & kSignBit) *out++ = '-';
    if (magnitude == 0) return copy("0.0", out);
    const Digits d = digits_of(shortest(magnitude));
    // Positive floats order as their bits do.
    return magnitude >= kLargest || magnitude < kSmallest ? exponent_form(out, d) : decimal_form(out, d);
}

std::string format_f32(float value) {
    char buf[kF32TextMax];
    return std::string(buf, write_f32(buf, value));
}

}  // namespace brimlet
