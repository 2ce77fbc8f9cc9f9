#pragma once
// brimlet_columns.sample_times: the sample times of a recording's packets.

#include <Python.h>

namespace brimlet::columns::py {

// sample_times(kind, time, skipped, end, kinds, received, sample, missing, /),
// a METH_FASTCALL function: see the stub. New reference to a tuple of one
// tuple per kind; nullptr with an exception set.
PyObject* sample_times(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brimlet::columns::py
