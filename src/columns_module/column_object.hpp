#pragma once
// The Column type of brimlet_columns.

#include <Python.h>

#include <cstddef>
#include <string>

#include "columns/column_table.hpp"
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

// New reference to a dict of Column objects of `type` that take over the
// arrays of `table`, in column order: "time", "kind", "invalid", "present",
// "skipped", with `ends` "end", then the data columns. nullptr with an
// exception set.
PyObject* columns_dict(PyTypeObject* type, ColumnTable& table, bool ends = true);

// `scaled_accel_x`, `est_pressure_alt`, ...: the name of a data column.
std::string column_name(const DataColumn& column);

}  // namespace brimlet::columns::py
