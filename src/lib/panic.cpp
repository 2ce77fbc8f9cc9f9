// PanicException and the diagnostic of an internal error.
//
// An internal error is a broken expectation inside the native code, not a
// user error: the current call ends with PanicException (derived directly
// from BaseException, so `except Exception` does not swallow it) and a line
// on the process's standard error names the thread, the source location and
// the message. The process goes on and the object involved stays usable.

#include "lib/panic.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "lib/owned_ref.hpp"

namespace brimlet::py {
namespace {

constexpr const char* kPanicName = "brimlet.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code of brimlet fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "normally propagates to the top and ends the interpreter.";

// The class, made on first use and kept for the rest of the process. Only
// touched with the interpreter lock held.
PyObject* panic_type = nullptr;

// Borrowed reference to PanicException, or nullptr with an exception set.
PyObject* panic_exception() {
    if (panic_type != nullptr) return panic_type;
    PyObject* made = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    // Making the class can run arbitrary code (a collection with finalizers)
    // that may have raised an internal error of its own: keep the first class.
    if (panic_type == nullptr) {
        panic_type = made;
    } else {
        Py_DECREF(made);
    }
    return panic_type;
}

// "name" (id) of the calling thread; the name is what the thread was given
// (Python names its threads), the id the kernel's.
std::string thread_label() {
    char name[64] = "";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
    return '"' + std::string(name) + "\" (id " + std::to_string(gettid()) + ')';
}

// One write of the whole diagnostic, so that lines of two threads never mix.
void write_diagnostic(const InternalError& error) {
    const std::string text = "brimlet: internal error in thread " + thread_label() + " at " +
                             error.where.file_name() + ':' + std::to_string(error.where.line()) + ':' +
                             std::to_string(error.where.column()) + " (" + error.where.function_name() +
                             "): " + error.message + '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

PyObject* raise_internal_error(const InternalError& error) {
    try {
        write_diagnostic(error);
    } catch (...) {
        // Formatting ran out of memory: the exception below still carries the
        // message, which matters more than the diagnostic.
    }
    PyObject* type = panic_exception();
    if (type == nullptr) return nullptr;
    OwnedRef message = OwnedRef::steal(
        PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (!message) return nullptr;
    PyErr_SetObject(type, message.get());
    return nullptr;
}

}  // namespace brimlet::py
