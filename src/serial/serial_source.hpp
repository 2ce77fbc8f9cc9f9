#pragma once
// The live device: a terminal in raw mode, 8N1, no flow control, at any speed,
// held exclusively. Each read waits at most the configured time for input.

#include <cstdint>
#include <string_view>

#include "serial/byte_source.hpp"

namespace brimlet {

// The speed a port opens at when the caller names none.
inline constexpr std::uint32_t kDefaultBaudrate = 115200;

// Opens and configures the port; on failure nothing stays open. `port` must not
// contain a NUL byte ("Invalid argument"). `timeout` seconds become the wait of
// each read in whole milliseconds (negative or NaN: 0).
OpenResult open_serial_port(std::string_view port, std::uint32_t baud, double timeout);

}  // namespace brimlet
