#pragma once
// A recording of the raw device stream, read as fast as reads return.

#include <string_view>

#include "serial/byte_source.hpp"

namespace brimlet {

// Opens the recording read-only. `path` is raw bytes in the file-system encoding.
OpenResult open_recording(std::string_view path);

}  // namespace brimlet
