#pragma once
// The text of a single-precision value, as the packet's text form, CSV and
// JSON lines write it: the shortest decimal digits that read back as the same
// value, in decimal form ("9.81", "1000.0", "0.0001") from 1e-4 up to but not
// including 1e16, in exponent form ("1.5e-5", "1e16") outside that.

#include <cstddef>
#include <string>
#include <string_view>

namespace brimlet {

// The words for the values without digits.
struct NonFiniteWords {
    std::string_view nan, inf, minus_inf;
};
inline constexpr NonFiniteWords kTextWords{"NaN", "inf", "-inf"};
inline constexpr NonFiniteWords kJsonWords{"NaN", "Infinity", "-Infinity"};

// The longest text write_f32 writes ("-0.000123456789" and "-1.2345678e-38"
// are among the longest), with room to spare.
inline constexpr std::size_t kF32TextMax = 32;

// Writes the text of `value` at `out`, which has room for kF32TextMax
// characters; returns the end of what it wrote. Every NaN, signalling or
// quiet, of either sign, is words.nan.
char* write_f32(char* out, float value, const NonFiniteWords& words = kTextWords);

// The text of `value` with the text form's words.
std::string format_f32(float value);

}  // namespace brimlet
