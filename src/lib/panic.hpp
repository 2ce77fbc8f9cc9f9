#pragma once
// Internal errors at the interpreter boundary: PanicException (derived from
// BaseException, made on first use) plus a diagnostic on standard error.

#include <Python.h>

#include "parser/internal_error.hpp"

namespace brimlet::py {

// Writes the diagnostic (thread, source location, message) to standard error
// and sets PanicException(message) as the current exception. Always returns
// nullptr so that slots can `return raise_internal_error(...)`.
PyObject* raise_internal_error(const InternalError& error);

}  // namespace brimlet::py
