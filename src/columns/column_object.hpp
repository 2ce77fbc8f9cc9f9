#pragma once
// The Column type of brimlet_columns.

#include <Python.h>

#include <cstddef>

#include "lib/owned_ref.hpp"

namespace brimlet::columns::py {

using brimlet::py::OwnedRef;

// New reference to the Column type of `module` (borrowed); nullptr with an
// exception set.
PyObject* make_column_type(PyObject* module);

// A new Column of `type` that takes ownership of `data` (from malloc, `count`
// items of `itemsize` bytes, struct-module code `format`, a static string).
// Empty with an exception set on failure, `data` freed then too.
OwnedRef new_column(PyTypeObject* type, void* data, std::size_t count, std::size_t itemsize, const char* format);

}  // namespace brimlet::columns::py
