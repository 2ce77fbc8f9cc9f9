#pragma once
// The LiveClock type of brimlet_columns.

#include <Python.h>

namespace brimlet::columns::py {

// New reference to the LiveClock type of `module` (borrowed); nullptr with an exception set.
PyObject* make_live_clock_type(PyObject* module);

}  // namespace brimlet::columns::py
