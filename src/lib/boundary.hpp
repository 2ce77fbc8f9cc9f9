#pragma once
// The failure boundary: the one place where failures of the native code become
// Python exceptions.
//
// Failures travel as values (`Failure`) up to `boundary`, which raises them;
// a C++ exception that escapes a body is caught by `guarded` and raised too
// (out of memory as MemoryError, anything else as an internal error). No C++
// exception gets past either.

#include <Python.h>

#include <string>
#include <utility>
#include <variant>

#include "common/expected.hpp"
#include "lib/owned_ref.hpp"
#include "lib/panic.hpp"
#include "parser/internal_error.hpp"

namespace brimlet::py {

struct PythonError {};  // a Python exception is already set
struct IoFailure {      // raised as OSError with the text as its one argument
    std::string text;
};
struct BorrowConflict {  // raised as RuntimeError
    const char* text;
};

using Failure = std::variant<PythonError, IoFailure, BorrowConflict, InternalError>;

template <class T>
using Result = Expected<T, Failure>;

// Sets the Python exception for `failure`; always returns nullptr.
PyObject* raise_failure(const Failure& failure);

// Sets TypeError "'<type of value>' object cannot be cast as '<expected>'".
void set_type_mismatch(PyObject* value, const char* expected);

// Raises the C++ exception being handled: MemoryError for std::bad_alloc, an
// internal error for any other std::exception. Always returns nullptr. Only
// to be called inside a handler.
PyObject* raise_current_exception();

// Runs `body`, which returns a new reference or nullptr with an exception
// set; a C++ exception leaving it is raised instead.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return raise_current_exception();
    }
}

// Runs `body` and hands its result to the interpreter: a new reference, or
// nullptr with the failure raised.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Result<OwnedRef> result = std::forward<Body>(body)();
        if (result) return result->release();
        return raise_failure(result.error());
    });
}

}  // namespace brimlet::py
