#pragma once
// The failure boundary: the one place where failures of the native code become
// Python exceptions.
//
// Failures travel as values (`Failure`) up to `boundary`, which raises them;
// a C++ exception that escapes a body is caught by `guarded` and raised too
// (out of memory as MemoryError, anything else as an internal error). No C++
// exception gets past either.

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/expected.hpp"
#include "lib/owned_ref.hpp"
#include "lib/panic.hpp"
#include "parser/internal_error.hpp"
#include "serial/byte_source.hpp"

namespace brimlet::py {

struct PythonError {};  // a Python exception is already set
struct OutOfMemory {};  // raised as MemoryError
struct IoFailure {      // raised as `type` with the text as its one argument
    std::string text;
    PyObject* type = PyExc_OSError;  // or PyExc_ValueError, PyExc_EOFError, ...
    int error_number = 0;            // when not 0, the raised OSError's errno (its text stays as it is)
};

// The failure that ended a reader's run: an OSError with its text as its one
// argument and its error number, where it has one, as its errno (EPIPE for a
// line that hung up), so that callers tell the kinds apart without reading
// the text.
IoFailure read_failure(SourceFailure failure);
struct BorrowConflict {  // raised as RuntimeError
    const char* text;
};
struct ErrnoFailure {  // raised as the OSError (or its subclass) of the error number
    int error_number;
};

// (An empty alternative further back makes g++ 12 warn falsely of an
// uninitialised string when a Failure is moved.)
using Failure = std::variant<PythonError, OutOfMemory, IoFailure, BorrowConflict, InternalError, ErrnoFailure>;

template <class T>
using Result = Expected<T, Failure>;

// Sets the Python exception for `failure`; always returns nullptr.
PyObject* raise_failure(const Failure& failure);

// `made` (a new reference or nullptr with an exception set) as a result.
inline Result<OwnedRef> checked(PyObject* made) {
    if (made == nullptr) return Unexpected(PythonError{});
    return OwnedRef::steal(made);
}

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

// Runs `body`, which returns a Result and touches no interpreter object, with
// the interpreter lock released; a C++ exception leaving it becomes its
// failure (out of memory, or an internal error).
template <class Body>
std::invoke_result_t<Body&> without_lock(Body&& body) noexcept {
    std::optional<std::invoke_result_t<Body&>> out;
    PyThreadState* const saved = PyEval_SaveThread();
    try {
        out.emplace(body());
    } catch (const std::bad_alloc&) {
        out.emplace(Unexpected(Failure(OutOfMemory{})));
    } catch (const std::exception& e) {
        try {
            out.emplace(Unexpected(Failure(InternalError{e.what()})));
        } catch (...) {
            out.emplace(Unexpected(Failure(OutOfMemory{})));
        }
    }
    PyEval_RestoreThread(saved);
    return std::move(*out);
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
