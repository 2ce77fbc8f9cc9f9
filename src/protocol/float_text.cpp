#include "protocol/float_text.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace brimlet {

namespace {

char* copy(std::string_view text, char* out) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* fill(char* out, char c, int count) {
    std::memset(out, c, static_cast<std::size_t>(count));
    return out + count;
}

// The shortest digits that read back as a positive finite float, and the
// exponent of the first one: the library's shortest scientific form,
// "d[.ddd]e±XX", taken apart.
struct Digits {
    char text[12];
    int count;
    int exponent;
};

Digits digits_of(float magnitude) {
    char form[24];
    const char* const end = std::to_chars(form, form + sizeof form, magnitude, std::chars_format::scientific).ptr;
    const char* const e = std::find(static_cast<const char*>(form), end, 'e');
    Digits out;
    out.count = 0;
    for (const char* c = form; c != e; ++c) {
        if (*c != '.') out.text[out.count++] = *c;
    }
    std::from_chars(e + 1 + (e[1] == '+'), end, out.exponent);
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
    const Digits d = digits_of(std::bit_cast<float>(magnitude));
    // Positive floats order as their bits do.
    return magnitude >= kLargest || magnitude < kSmallest ? exponent_form(out, d) : decimal_form(out, d);
}

std::string format_f32(float value) {
    char buf[kF32TextMax];
    return std::string(buf, write_f32(buf, value));
}

}  // namespace brimlet
