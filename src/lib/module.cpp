// The module's entry function and the registration of its classes.
//
// brimlet is a single-phase module with process-wide state: the module object
// and the three heap types are made once per process, belong to the first
// interpreter that imports the module, and live until the process ends. Every
// later import in that interpreter hands out the very same module object;
// every other interpreter is refused.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "lib/panic.hpp"
#include "lib/types.hpp"

namespace brimlet::py {
namespace {

// Takes `lock`; if another thread holds it, waits with the interpreter lock
// given up, so that the holder (which needs the interpreter) can finish.
// Requires the interpreter lock; holds it again on return.
void lock_without_interpreter(std::mutex& lock) {
    if (lock.try_lock()) return;
    PyThreadState* saved = PyEval_SaveThread();
    lock.lock();
    PyEval_RestoreThread(saved);
}

// A strong reference made at most once per process and kept until the process
// ends. The first thread that needs it makes it; threads that arrive meanwhile
// wait without the interpreter lock and then use what the first one made. A
// failed making leaves the cell empty, so the next caller tries again.
class OnceRef {
public:
    explicit OnceRef(const char* what) : what_(what) {}

    // Borrowed reference to the value, or nullptr when it is not made yet.
    PyObject* peek() const { return value_.load(std::memory_order_acquire); }

    // Borrowed reference to the value, made with `make` (which returns a new
    // reference, or nullptr with an exception set) on first need. Requires the
    // interpreter lock. nullptr with an exception set on failure.
    template <class Make>
    PyObject* get_or_make(Make&& make) {
        if (PyObject* value = peek()) return value;
        if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            // Making the value needed the value: waiting would never end.
            PyErr_Format(PyExc_ImportError, "%s is needed while it is being made", what_);
            return nullptr;
        }
        lock_without_interpreter(making_);
        std::lock_guard guard(making_, std::adopt_lock);
        if (PyObject* value = peek()) return value;
        maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        PyObject* made = guarded(make);
        maker_.store(std::thread::id(), std::memory_order_relaxed);
        if (made != nullptr) value_.store(made, std::memory_order_release);
        return made;
    }

private:
    const char* what_;
    std::atomic<PyObject*> value_{nullptr};
    std::atomic<std::thread::id> maker_{};
    std::mutex making_;
};

// ---- types ------------------------------------------------------------------

struct TypeCell {
    const char* class_name;
    PyObject* (*make)();
    OnceRef cell;
};

TypeCell serial_parser_cell{"SerialParser", make_serial_parser_type, OnceRef("the type SerialParser")};
TypeCell mock_parser_cell{"MockParser", make_mock_parser_type, OnceRef("the type MockParser")};
TypeCell imu_packet_cell{"IMUPacket", make_imu_packet_type, OnceRef("the type IMUPacket")};

// Borrowed reference to the type, made now if need be; nullptr with the
// interpreter's exception when making it fails.
PyTypeObject* type_of(TypeCell& entry) {
    return reinterpret_cast<PyTypeObject*>(entry.cell.get_or_make(entry.make));
}

// The getter used once the module exists. Should the type still be missing
// and fail to be made, the interpreter's exception goes to the unraisable hook
// and the caller sees an internal error instead.
PyTypeObject* type_for_later_caller(TypeCell& entry) {
    if (PyObject* made = entry.cell.peek()) return reinterpret_cast<PyTypeObject*>(made);
    if (PyTypeObject* type = type_of(entry)) return type;
    PyErr_FormatUnraisable("Exception ignored while creating the type object of %s", entry.class_name);
    try {
        raise_internal_error(InternalError{"failed to create type object for `" + std::string(entry.class_name) + '`'});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// ---- the module body --------------------------------------------------------

// New reference to the module's `__all__` list, created empty when the module
// has none; nullptr with an exception set.
OwnedRef all_list(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
        return all;
    }
    if (!PyList_Check(all.get())) {
        set_type_mismatch(all.get(), "list");
        return {};
    }
    return all;
}

// Lists `name` in `__all__` and sets the module attribute `name` to `value`
// (borrowed). false with an exception set.
bool register_value(PyObject* module, const char* name, PyObject* value) {
    OwnedRef all = all_list(module);
    if (!all) return false;
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        raise_internal_error(InternalError{"could not append __name__ to __all__"});
        return false;
    }
    return PyObject_SetAttr(module, text.get(), value) == 0;
}

bool register_type(PyObject* module, TypeCell& entry) {
    PyTypeObject* type = type_of(entry);
    return type != nullptr && register_value(module, entry.class_name, reinterpret_cast<PyObject*>(type));
}

// Fills a new module in registration order. false with an exception set.
bool run_module_body(PyObject* module) {
    if (!register_type(module, serial_parser_cell)) return false;
    if (!register_type(module, mock_parser_cell)) return false;
    if (!register_type(module, imu_packet_cell)) return false;
    OwnedRef version = OwnedRef::steal(PyUnicode_FromString("0.2.0"));
    if (!version || !register_value(module, "VERSION", version.get())) return false;
    return register_value(module, "RELEASE_BUILD", Py_True);
}

// ---- the module -------------------------------------------------------------

constexpr int kApiVersion = 1013;

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "brimlet",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that imported the module first; -1 until one has.
constinit std::atomic<std::int64_t> owner_interpreter{-1};

OnceRef module_cell("the module brimlet");

// New reference to a new, filled module; nullptr with an exception set (the
// half-made module is released).
PyObject* make_module() {
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, kApiVersion));
    if (!module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    if (!run_module_body(module.get())) return nullptr;
    return module.release();
}

// Claims the module for the calling interpreter. false with ImportError set
// when another interpreter claimed it first, or with the interpreter's
// exception when the interpreter's ID cannot be read.
bool claim_for_this_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return false;
    std::int64_t owner = -1;
    if (owner_interpreter.compare_exchange_strong(owner, id) || owner == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "brimlet is already in use by another interpreter of this process: "
                    "extension modules of this kind do not yet support sub-interpreters");
    return false;
}

}  // namespace

PyTypeObject* serial_parser_type() { return type_for_later_caller(serial_parser_cell); }
PyTypeObject* mock_parser_type() { return type_for_later_caller(mock_parser_cell); }
PyTypeObject* imu_packet_type() { return type_for_later_caller(imu_packet_cell); }

}  // namespace brimlet::py

PyMODINIT_FUNC PyInit_brimlet() {
    using namespace brimlet::py;
    if (!claim_for_this_interpreter()) return nullptr;
    return Py_XNewRef(module_cell.get_or_make(make_module));
}
