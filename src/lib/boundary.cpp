#include "lib/boundary.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <utility>

namespace brimlet::py {
namespace {

// Sets `type` with `text` as its one argument and, when `error_number` is
// not 0, that as its errno; always returns nullptr. The exception is built
// from the text alone, so it keeps its class, arguments and text (the pair
// form would pick a subclass and prefix "[Errno N]").
PyObject* text_error(PyObject* type, const std::string& text, int error_number) {
    OwnedRef value =
        OwnedRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!value) return nullptr;
    if (error_number == 0) {
        PyErr_SetObject(type, value.get());
        return nullptr;
    }
    OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(type, value.get()));
    if (!error) return nullptr;
    OwnedRef number = OwnedRef::steal(PyLong_FromLong(error_number));
    if (!number || PyObject_SetAttrString(error.get(), "errno", number.get()) < 0) return nullptr;
    PyErr_SetObject(type, error.get());
    return nullptr;
}

struct Raise {
    PyObject* operator()(const PythonError&) const { return nullptr; }
    PyObject* operator()(const IoFailure& failure) const {
        return text_error(failure.type, failure.text, failure.error_number);
    }
    PyObject* operator()(const BorrowConflict& conflict) const {
        PyErr_SetString(PyExc_RuntimeError, conflict.text);
        return nullptr;
    }
    PyObject* operator()(const InternalError& error) const { return raise_internal_error(error); }
    PyObject* operator()(const ErrnoFailure& failure) const {
        errno = failure.error_number;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    PyObject* operator()(const OutOfMemory&) const { return PyErr_NoMemory(); }
};

}  // namespace

IoFailure read_failure(SourceFailure failure) {
    return IoFailure{std::move(failure.text), PyExc_OSError, failure.error_number};
}

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
