#pragma once
// The two families of failure texts built from a system error number.

#include <string>
#include <string_view>

namespace brimlet {

// Serial family: the kernel headers' description of the errno ("Device or
// resource busy"), "Unknown errno" for numbers without one.
std::string serial_errno_text(int err);

// File family: the C library's description, then " (os error N)".
std::string file_errno_text(int err);

// The error number a text of either family stands for; 0 for any other text
// ("Unknown errno" among them).
int errno_of_text(std::string_view text);

}  // namespace brimlet
