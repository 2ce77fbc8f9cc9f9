#include "lib/arguments.hpp"

#include <algorithm>
#include <vector>

#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::py {
namespace {

constexpr double kDefaultTimeout = 0.1;

// ---------------------------------------------------------------------------
// Binding

std::optional<std::size_t> parameter_index(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_EqualToUTF8(keyword, signature.names[i])) return i;
    }
    return std::nullopt;
}

// Puts one keyword argument into its slot. The interpreter checks keywords
// before it counts positional arguments, and so does this.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> out) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", signature.full_name);
        return false;
    }
    const std::optional<std::size_t> index = parameter_index(signature, keyword);
    if (!index) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     signature.full_name, keyword);
        return false;
    }
    if (out[*index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature.full_name, signature.names[*index]);
        return false;
    }
    out[*index] = value;
    return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool check_counts(const Signature& signature, std::size_t given_positional, std::span<PyObject*> out) {
    const std::size_t total = signature.names.size();
    if (given_positional > total) {
        const char* verb = given_positional == 1 ? "was" : "were";
        if (signature.required < total) {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                         signature.full_name, signature.required, total, given_positional, verb);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                         signature.full_name, total, given_positional, verb);
        }
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) missing.push_back(signature.names[i]);
    }
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", signature.full_name,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
}

void bind_positional(PyObject* const* args, std::size_t count, std::span<PyObject*> out) {
    std::ranges::fill(out, nullptr);
    std::copy_n(args, std::min(count, out.size()), out.begin());
}

// ---------------------------------------------------------------------------
// Conversion

// Puts "argument '<name>': " in front of a pending TypeError (keeping the
// original as its cause); other exceptions are left as they are.
std::nullopt_t fail_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    OwnedRef original = OwnedRef::steal(PyErr_GetRaisedException());
    OwnedRef text = OwnedRef::steal(PyObject_Str(original.get()));
    if (!text) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    OwnedRef prefixed = OwnedRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(prefixed.get(), original.release());
    PyErr_SetRaisedException(prefixed.release());
    return std::nullopt;
}

// Whether `type` is numpy's boolean scalar type (named "bool_" before numpy 2,
// "bool" since). Never leaves an exception set.
bool is_numpy_bool(PyTypeObject* type) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    OwnedRef module = name ? OwnedRef::steal(PyType_GetModuleName(type)) : OwnedRef();
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(module.get(), "numpy") &&
           (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

// Truth value of a numpy boolean through its type's slot.
std::optional<bool> numpy_truth(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        PyErr_Clear();  // PyType_GetSlot may complain about a static type
        OwnedRef name = OwnedRef::steal(PyType_GetName(type));
        if (name) {
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         name.get());
        }
        return fail_argument("block");
    }
    const int result = truth(value);
    if (result < 0) return fail_argument("block");
    return result != 0;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    bind_positional(args, given, out);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* value = args[given + static_cast<std::size_t>(i)];
        if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), value, out)) return false;
    }
    return check_counts(signature, given, out);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    bind_positional(PySequence_Fast_ITEMS(args), given, out);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, out)) return false;
        }
    }
    return check_counts(signature, given, out);
}

std::optional<std::string> convert_path(PyObject* value, const char* name) {
    OwnedRef text = OwnedRef::steal(PyOS_FSPath(value));
    if (!text) return fail_argument(name);
    if (!PyUnicode_Check(text.get())) {
        set_type_mismatch(text.get(), "str");
        return fail_argument(name);
    }
    OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) return fail_argument(name);
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

std::optional<std::uint32_t> convert_baudrate(PyObject* value) {
    if (value == nullptr || value == Py_None) return kDefaultBaudrate;
    const long bits_per_second = PyLong_AsLong(value);
    if (bits_per_second == -1 && PyErr_Occurred()) return fail_argument("baudrate");
    if (bits_per_second < 0 || bits_per_second > 0xFFFF'FFFFL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(bits_per_second);
}

std::optional<double> convert_timeout(PyObject* value) {
    if (value == nullptr) return kDefaultTimeout;
    if (value == Py_None) return 0.0;
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return fail_argument("timeout");
    return seconds;
}

std::optional<bool> convert_block(PyObject* value) {
    if (value == nullptr || value == Py_False) return false;
    if (value == Py_True) return true;
    if (is_numpy_bool(Py_TYPE(value))) return numpy_truth(value);
    set_type_mismatch(value, "bool");
    return fail_argument("block");
}

}  // namespace brimlet::py
