// SerialParser and MockParser: one implementation, two constructors.
//
// Each object holds a ParserEngine directly after its header, together with
// its blocking-wait timeout, a borrow flag and the identity of the thread that
// made it. Every method checks the thread and takes a use of the object first
// (lib/use_guard.hpp).
//
// The interpreter lock is held for the whole of every call, waits included:
// the reader thread never needs it, so joining it or waiting on its channel
// under the lock cannot deadlock. Like the interpreter's own blocking calls, a
// wait runs the handlers of pending signals about every 100 ms, and ends with
// the exception one of them raises (KeyboardInterrupt for Ctrl-C), leaving the
// object usable: nothing is taken from a channel by an interrupted wait, and
// a stop() that is interrupted is finished by the next one.
//
// Failures travel as values up to `boundary` (lib/boundary.hpp), the one
// place where they become Python exceptions.

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include "common/expected.hpp"
#include "lib/arguments.hpp"
#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "lib/packet_object.hpp"
#include "lib/panic.hpp"
#include "lib/types.hpp"
#include "lib/use_guard.hpp"
#include "parser/duration.hpp"
#include "parser/internal_error.hpp"
#include "parser/parser_engine.hpp"
#include "serial/file_source.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::py {
namespace {

// ---------------------------------------------------------------------------
// The object

struct ParserRecord {
    ParserRecord(std::unique_ptr<ByteSource> source, double wait, ThreadId creator)
        : engine(std::move(source)), timeout(wait), owner(creator) {}

    ParserEngine engine;
    double timeout;                        // seconds, for a blocking get_data_packets
    std::atomic<std::size_t> borrow{0};    // 0 idle, k shared uses, kExclusive
    ThreadId owner;
};

struct ParserObject {
    PyObject_HEAD
    ParserRecord record;
};

ParserRecord& record_of(PyObject* self) { return reinterpret_cast<ParserObject*>(self)->record; }

OwnedRef none() { return OwnedRef::new_ref(Py_None); }

// ---------------------------------------------------------------------------
// Uses of an object

struct InUse {
    ParserRecord* record;
    Borrow borrow;
};

// Checks that `self` is a Kind object owned by the calling thread and takes a
// use of it.
template <class Kind>
Result<InUse> begin_use(PyObject* self, Access access) {
    PyTypeObject* type = Kind::type();
    if (type == nullptr) return Unexpected(PythonError{});
    if (!Py_IS_TYPE(self, type)) {
        set_type_mismatch(self, Kind::class_name);
        return Unexpected(PythonError{});
    }
    ParserRecord& record = record_of(self);
    if (Result<void> owned = check_owner(record.owner, Kind::record_name); !owned) {
        return Unexpected(std::move(owned.error()));
    }
    Result<Borrow> borrow = Borrow::take(record.borrow, access);
    if (!borrow) return Unexpected(std::move(borrow.error()));
    return InUse{&record, std::move(*borrow)};
}

// ---------------------------------------------------------------------------
// Waiting

// The engine's interrupt check: runs pending signal handlers (on the main
// thread; elsewhere there are none to run); true when one raised.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

// The engine's stop(), which a signal handler that raises can interrupt.
Result<OwnedRef> stop_engine(ParserRecord& record) {
    if (!record.engine.stop(signal_raised)) return Unexpected(PythonError{});
    return none();
}

// The reader's oldest failure, else everything queued (waiting up to the
// timeout for the first packet when `block`), as a new list.
Result<OwnedRef> collect(ParserRecord& record, bool block) {
    if (std::optional<SourceFailure> error = record.engine.take_reader_error()) {
        // The parser's failure is its text alone: the module keeps no kind.
        return Unexpected(IoFailure{std::move(error->text)});
    }
    std::optional<std::chrono::nanoseconds> wait;
    if (block) {
        auto duration = seconds_to_duration(record.timeout);
        if (!duration) return Unexpected(std::move(duration.error()));
        wait = *duration;
    }
    auto batch = record.engine.collect_packets(wait, signal_raised);
    if (!batch) {
        if (std::holds_alternative<Interrupted>(batch.error())) return Unexpected(PythonError{});
        return Unexpected(IoFailure{"timed out waiting on channel"});
    }
    PyObject* list = packets_to_list(std::move(*batch));
    if (list == nullptr) return Unexpected(PythonError{});
    return OwnedRef::steal(list);
}

// ---------------------------------------------------------------------------
// Construction

// A new object of `type` owning an engine over the opened source; a source
// that could not be opened is raised as OSError. Nothing stays open on failure.
Result<OwnedRef> make_parser(PyTypeObject* type, OpenResult opened, double timeout) {
    if (!opened) return Unexpected(IoFailure{std::move(opened.error().text)});
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return Unexpected(PythonError{});
    try {
        new (&record_of(self)) ParserRecord(std::move(*opened), timeout, current_thread());
    } catch (...) {
        // The record never existed, so the deallocator must not see it.
        type->tp_free(self);
        Py_DECREF(type);
        throw;
    }
    return OwnedRef::steal(self);
}

// The serial layer takes the port name as UTF-8 text; only a str carrying lone
// surrogates can encode to something else.
std::optional<InternalError> check_port_text(const std::string& port) {
    OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(port.data(), static_cast<Py_ssize_t>(port.size()), "strict"));
    if (text) return std::nullopt;
    OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
    OwnedRef reason = OwnedRef::steal(PyObject_Str(error.get()));
    const char* detail = reason ? PyUnicode_AsUTF8(reason.get()) : nullptr;
    PyErr_Clear();
    return InternalError{std::string("serial port path is not valid UTF-8: ") + (detail ? detail : "?")};
}

constexpr const char* kSerialNames[] = {"port", "baudrate", "timeout"};
constexpr const char* kMockNames[] = {"path", "timeout"};
constexpr const char* kBlockNames[] = {"block"};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_value", "_traceback"};

PyObject* new_serial_parser(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<OwnedRef> {
        static constexpr Signature signature{"SerialParser.__new__()", kSerialNames, 1};
        PyObject* bound[3] = {};
        if (!bind_tuple(signature, args, kwargs, bound)) return Unexpected(PythonError{});
        const std::optional<std::string> port = convert_path(bound[0], "port");
        if (!port) return Unexpected(PythonError{});
        if (std::optional<InternalError> bad = check_port_text(*port)) return Unexpected(std::move(*bad));
        const std::optional<std::uint32_t> baudrate = convert_baudrate(bound[1]);
        if (!baudrate) return Unexpected(PythonError{});
        const std::optional<double> timeout = convert_timeout(bound[2]);
        if (!timeout) return Unexpected(PythonError{});
        return make_parser(type, open_serial_port(*port, *baudrate, *timeout), *timeout);
    });
}

PyObject* new_mock_parser(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<OwnedRef> {
        static constexpr Signature signature{"MockParser.__new__()", kMockNames, 1};
        PyObject* bound[2] = {};
        if (!bind_tuple(signature, args, kwargs, bound)) return Unexpected(PythonError{});
        const std::optional<std::string> path = convert_path(bound[0], "path");
        if (!path) return Unexpected(PythonError{});
        const std::optional<double> timeout = convert_timeout(bound[1]);
        if (!timeout) return Unexpected(PythonError{});
        return make_parser(type, open_recording(*path), *timeout);
    });
}

// ---------------------------------------------------------------------------
// Methods, the same for both classes

struct SerialKind {
    static constexpr const char* class_name = "SerialParser";
    static constexpr const char* record_name = "brimlet::SerialParser";
    static constexpr Signature get_data_packets_signature{"SerialParser.get_data_packets()", kBlockNames, 0};
    static constexpr Signature exit_signature{"SerialParser.__exit__()", kExitNames, 3};
    static PyTypeObject* type() { return serial_parser_type(); }
};

struct MockKind {
    static constexpr const char* class_name = "MockParser";
    static constexpr const char* record_name = "brimlet::MockParser";
    static constexpr Signature get_data_packets_signature{"MockParser.get_data_packets()", kBlockNames, 0};
    static constexpr Signature exit_signature{"MockParser.__exit__()", kExitNames, 3};
    static PyTypeObject* type() { return mock_parser_type(); }
};

template <class Kind>
PyObject* start(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::exclusive);
        if (!use) return Unexpected(std::move(use.error()));
        if (auto started = use->record->engine.start(); !started) return Unexpected(std::move(started.error()));
        return none();
    });
}

// Blocks until the reader thread has ended, with the interpreter lock held.
// A read in progress notices the cleared flag within about 100 ms.
template <class Kind>
PyObject* stop(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::exclusive);
        if (!use) return Unexpected(std::move(use.error()));
        return stop_engine(*use->record);
    });
}

template <class Kind>
PyObject* get_data_packets(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> Result<OwnedRef> {
        PyObject* bound[1] = {};
        if (!bind_fastcall(Kind::get_data_packets_signature, args, nargs, kwnames, bound)) {
            return Unexpected(PythonError{});
        }
        Result<InUse> use = begin_use<Kind>(self, Access::exclusive);
        if (!use) return Unexpected(std::move(use.error()));
        // May run Python code (the truth slot of a numpy-like type), which is
        // why the object is already in use here.
        const std::optional<bool> block = convert_block(bound[0]);
        if (!block) return Unexpected(PythonError{});
        return collect(*use->record, *block);
    });
}

template <class Kind>
PyObject* is_running(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::shared);
        if (!use) return Unexpected(std::move(use.error()));
        return OwnedRef::steal(PyBool_FromLong(use->record->engine.is_running()));
    });
}

template <class Kind>
PyObject* enter_context(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::strict);
        if (!use) return Unexpected(std::move(use.error()));
        if (auto started = use->record->engine.start(); !started) return Unexpected(std::move(started.error()));
        return OwnedRef::new_ref(self);
    });
}

// Never suppresses an exception of the with-block: always returns None.
template <class Kind>
PyObject* exit_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> Result<OwnedRef> {
        PyObject* ignored[3] = {};
        if (!bind_fastcall(Kind::exit_signature, args, nargs, kwnames, ignored)) return Unexpected(PythonError{});
        Result<InUse> use = begin_use<Kind>(self, Access::strict);
        if (!use) return Unexpected(std::move(use.error()));
        return stop_engine(*use->record);
    });
}

// ---------------------------------------------------------------------------
// Deallocation

// Reports a drop on a foreign thread to the unraisable hook, keeping any
// exception that is being raised while the object goes.
void report_foreign_drop(const char* record_name) {
    const std::string message = std::string(record_name) + " is unsendable, but is being dropped on another thread";
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

// On the owner thread the engine is torn down (joining a running reader with
// the interpreter lock held). On any other thread the engine cannot be touched:
// it is left as it is, its reader running and its source open, for good.
template <class Kind>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ParserRecord& record = record_of(self);
    if (record.owner == current_thread()) {
        record.~ParserRecord();
    } else {
        try {
            report_foreign_drop(Kind::record_name);
        } catch (...) {
            // Out of memory for the message: the drop goes unreported.
        }
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Tables

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Kind>
PyMethodDef parser_methods[] = {
    {"start", start<Kind>, METH_NOARGS, "start($self)\n--\n\n"},
    {"stop", stop<Kind>, METH_NOARGS, "stop($self)\n--\n\n"},
    {"get_data_packets", as_cfunction(get_data_packets<Kind>), METH_FASTCALL | METH_KEYWORDS,
     "get_data_packets($self, block=False)\n--\n\n"},
    {"is_running", is_running<Kind>, METH_NOARGS, "is_running($self)\n--\n\n"},
    {"__enter__", enter_context<Kind>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(exit_context<Kind>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot serial_parser_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SerialKind>)},
    {Py_tp_new, reinterpret_cast<void*>(new_serial_parser)},
    {Py_tp_doc, const_cast<char*>("SerialParser(port, baudrate=None, timeout=0.1)\n--\n\n")},
    {Py_tp_methods, parser_methods<SerialKind>},
    {0, nullptr},
};

PyType_Spec serial_parser_spec = {
    .name = "builtins.SerialParser",
    .basicsize = sizeof(ParserObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = serial_parser_slots,
};

PyType_Slot mock_parser_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MockKind>)},
    {Py_tp_new, reinterpret_cast<void*>(new_mock_parser)},
    {Py_tp_doc, const_cast<char*>("MockParser(path, timeout=0.1)\n--\n\n")},
    {Py_tp_methods, parser_methods<MockKind>},
    {0, nullptr},
};

PyType_Spec mock_parser_spec = {
    .name = "builtins.MockParser",
    .basicsize = sizeof(ParserObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = mock_parser_slots,
};

}  // namespace

PyObject* make_serial_parser_type() { return PyType_FromSpec(&serial_parser_spec); }

PyObject* make_mock_parser_type() { return PyType_FromSpec(&mock_parser_spec); }

}  // namespace brimlet::py
