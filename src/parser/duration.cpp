#include "parser/duration.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace brimlet {

Expected<std::chrono::nanoseconds, InternalError> seconds_to_duration(double seconds) {
    if (seconds < 0.0) {
        return Unexpected(InternalError{"cannot convert float seconds to Duration: value is negative"});
    }
    if (!(seconds < 0x1p64)) {
        return Unexpected(
            InternalError{"cannot convert float seconds to Duration: value is either too big or NaN"});
    }
    // seconds == mantissa * 2^exponent exactly, with mantissa < 2^53 and exponent <= 11.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    using Wide = unsigned __int128;
    const Wide scaled = Wide{mantissa} * 1'000'000'000u;  // below 2^83
    Wide nanos = 0;
    if (exponent >= 0) {
        nanos = scaled << exponent;
    } else if (exponent > -128) {
        const int shift = -exponent;
        nanos = scaled >> shift;
        const Wide rest = scaled - (nanos << shift);
        const Wide half = Wide{1} << (shift - 1);
        if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
    }
    using Rep = std::chrono::nanoseconds::rep;
    constexpr Rep kLongest = std::numeric_limits<Rep>::max();
    return std::chrono::nanoseconds(nanos > static_cast<Wide>(kLongest) ? kLongest : static_cast<Rep>(nanos));
}

}  // namespace brimlet
