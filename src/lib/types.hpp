#pragma once
// The three heap types of the module, each made once per process on first need
// and kept until the process ends.

#include <Python.h>

namespace brimlet::py {

// Each returns a borrowed reference to the cached type, creating it on the first
// call; nullptr with an exception set if creation fails.
PyTypeObject* serial_parser_type();
PyTypeObject* mock_parser_type();
PyTypeObject* imu_packet_type();

// Makers of the type objects (PyType_FromSpec), defined in each type's own file.
PyObject* make_serial_parser_type();
PyObject* make_mock_parser_type();
PyObject* make_imu_packet_type();

}  // namespace brimlet::py
