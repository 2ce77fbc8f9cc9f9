#pragma once
// The two families of failure texts built from a system error number, and
// a source's failures made of them.

#include <string>

#include "serial/byte_source.hpp"

namespace brimlet {

// Serial family: the kernel headers' description of the errno ("Device or
// resource busy"), "Unknown errno" for numbers without one.
std::string serial_errno_text(int err);

// File family: the C library's description, then " (os error N)".
std::string file_errno_text(int err);

// The failure of error number `err`, in either family's words.
inline SourceFailure serial_errno_failure(int err) { return {serial_errno_text(err), err}; }
inline SourceFailure file_errno_failure(int err) { return {file_errno_text(err), err}; }

}  // namespace brimlet
