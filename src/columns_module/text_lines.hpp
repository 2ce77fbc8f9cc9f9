#pragma once
// brimlet_columns.text_lines: rows of columns as CSV or JSON lines.

#include <Python.h>

namespace brimlet::columns::py {

// text_lines(format, columns, keys=None, /), a METH_FASTCALL function: see
// the stub. New reference to a bytes object; nullptr with an exception set.
PyObject* text_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brimlet::columns::py
