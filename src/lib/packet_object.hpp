#pragma once
// Packet records as Python IMUPacket objects.

#include <Python.h>

#include "parser/parser_engine.hpp"
#include "protocol/imu_packet.hpp"

namespace brimlet::py {

// New reference to a list of packet objects in batch order, or nullptr with an
// exception set (no partial list; the remaining records are released).
PyObject* packets_to_list(PacketBatch&& batch);

}  // namespace brimlet::py
