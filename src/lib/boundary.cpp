#include "lib/boundary.hpp"

#include <exception>
#include <new>

namespace brimlet::py {
namespace {

struct Raise {
    PyObject* operator()(const PythonError&) const { return nullptr; }
    PyObject* operator()(const IoFailure& failure) const {
        OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(
            failure.text.data(), static_cast<Py_ssize_t>(failure.text.size()), "replace"));
        if (text) PyErr_SetObject(PyExc_OSError, text.get());
        return nullptr;
    }
    PyObject* operator()(const BorrowConflict& conflict) const {
        PyErr_SetString(PyExc_RuntimeError, conflict.text);
        return nullptr;
    }
    PyObject* operator()(const InternalError& error) const { return raise_internal_error(error); }
};

}  // namespace

PyObject* raise_failure(const Failure& failure) { return std::visit(Raise{}, failure); }

PyObject* raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal_error(InternalError{e.what()});
    }
}

void set_type_mismatch(PyObject* value, const char* expected) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), expected);
}

}  // namespace brimlet::py
