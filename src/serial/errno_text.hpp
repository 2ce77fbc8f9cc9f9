#pragma once
// The two families of failure texts built from a system error number.

#include <string>

namespace brimlet {

// Serial family: the kernel headers' description of the errno ("Device or
// resource busy"), "Unknown errno" for numbers without one.
std::string serial_errno_text(int err);

// File family: the C library's description, then " (os error N)".
std::string file_errno_text(int err);

}  // namespace brimlet
