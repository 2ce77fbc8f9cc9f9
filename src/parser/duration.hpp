#pragma once
// The blocking wait of a parser, from seconds to the engine's nanoseconds.

#include <chrono>

#include "common/expected.hpp"
#include "parser/internal_error.hpp"

namespace brimlet {

// `seconds` as whole nanoseconds, rounded to the nearest (ties to even). Waits
// longer than the nanosecond count can hold (about 292 years) saturate, which
// the engine treats as a wait without deadline. Negative values, NaN and
// values of 2^64 seconds or more are refused.
Expected<std::chrono::nanoseconds, InternalError> seconds_to_duration(double seconds);

}  // namespace brimlet
