#pragma once
// The LiveSource type of brimlet_columns.

#include <Python.h>

namespace brimlet::columns::py {

// New reference to the LiveSource type of `module` (borrowed), which must
// hold the Column type already; nullptr with an exception set. Registers the
// closing of the sources still open at interpreter exit.
PyObject* make_live_source_type(PyObject* module);

}  // namespace brimlet::columns::py
