#pragma once
// The Capture type of brimlet_columns.

#include <Python.h>

namespace brimlet::columns::py {

// New reference to the Capture type of `module` (borrowed); nullptr with an exception set.
PyObject* make_capture_type(PyObject* module);

}  // namespace brimlet::columns::py
