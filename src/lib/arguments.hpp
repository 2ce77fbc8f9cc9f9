#pragma once
// Binding and conversion of the arguments of the parser classes.
//
// Binding follows the interpreter's rules for a Python function whose
// parameters are all positional-or-keyword, and reports problems with the
// interpreter's wording, prefixed by the callable's full name. Conversions turn
// one bound argument into a C++ value; a TypeError they raise is prefixed with
// "argument '<name>': ", any other exception passes unchanged.
//
// Every function here returns an empty result with a Python exception set on
// failure, and only borrows the objects it is given.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace brimlet::py {

// The parameters of one callable, all positional-or-keyword; the first
// `required` of them have no default.
struct Signature {
    const char* full_name;  // for example "SerialParser.__new__()"
    std::span<const char* const> names;
    std::size_t required;
};

// Binds vectorcall arguments (`kwnames` may be null) into `out`, one slot per
// parameter: a borrowed reference, or nullptr where the argument was not given.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out);

// The same for an argument tuple and a keyword dictionary (which may be null).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> out);

// A file-system path: a str, or a path-like object that gives one, encoded with
// the file-system encoding. Bytes paths are refused.
std::optional<std::string> convert_path(PyObject* value, const char* name);

// Bits per second: kDefaultBaudrate when missing or None, else an integer in 0..2^32-1.
std::optional<std::uint32_t> convert_baudrate(PyObject* value);

// Seconds: 0.1 when missing, 0.0 for None, else any real number (no range check).
std::optional<double> convert_timeout(PyObject* value);

// False when missing; True or False, or a numpy boolean through its truth slot.
std::optional<bool> convert_block(PyObject* value);

}  // namespace brimlet::py
