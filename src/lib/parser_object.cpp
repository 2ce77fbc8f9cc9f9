// SerialParser and MockParser: one implementation, two constructors.
//
// Each object holds a ParserEngine directly after its header, together with
// its blocking-wait timeout, a borrow flag and the identity of the thread that
// made it. Every method checks the thread first (the engine is driven from one
// thread only), then takes a use of the object on the borrow flag, so that a
// method entered again from a finalizer or a truth test running inside another
// method of the same object is refused instead of overlapping it.
//
// The interpreter lock is held for the whole of every call, waits included:
// the reader thread never needs it, so joining it or waiting on its channel
// under the lock cannot deadlock.
//
// Failures travel as values (`Failure`) up to `boundary`, the one place where
// they become Python exceptions; no C++ exception gets past it.

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <format>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "lib/arguments.hpp"
#include "lib/owned_ref.hpp"
#include "lib/packet_object.hpp"
#include "lib/panic.hpp"
#include "lib/types.hpp"
#include "parser/internal_error.hpp"
#include "parser/parser_engine.hpp"
#include "serial/file_source.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::py {
namespace {

// ---------------------------------------------------------------------------
// Thread identity

// A number given to each thread on first use, never reused in the process
// (unlike the kernel's thread ids, which are recycled when threads end).
using ThreadId = std::uint64_t;

ThreadId current_thread() {
    static std::atomic<ThreadId> next{1};
    thread_local const ThreadId id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// ---------------------------------------------------------------------------
// The object

// All bits set in the borrow flag: one exclusive use in progress.
constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

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

// ---------------------------------------------------------------------------
// Failures and the boundary

struct PythonError {};  // a Python exception is already set
struct IoFailure {      // raised as OSError with the text as its one argument
    std::string text;
};
struct BorrowConflict {  // raised as RuntimeError
    const char* text;
};

using Failure = std::variant<PythonError, IoFailure, BorrowConflict, InternalError>;

template <class T>
using Result = std::expected<T, Failure>;

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

// Runs `body` and hands its result to the interpreter: a new reference, or
// nullptr with the failure raised.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        Result<OwnedRef> result = std::forward<Body>(body)();
        if (result) return result->release();
        return std::visit(Raise{}, result.error());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal_error(InternalError{e.what()});
    }
}

OwnedRef none() { return OwnedRef::new_ref(Py_None); }

// ---------------------------------------------------------------------------
// Uses of an object

enum class Access { shared, exclusive, strict };

// One use of a parser object, given back when the guard goes.
class Borrow {
public:
    static Result<Borrow> take(std::atomic<std::size_t>& flag, Access access);
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), shared_(other.shared_) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) return;
        if (shared_) {
            flag_->fetch_sub(1, std::memory_order_release);
        } else {
            flag_->store(0, std::memory_order_release);
        }
    }

private:
    Borrow(std::atomic<std::size_t>* flag, bool shared) : flag_(flag), shared_(shared) {}
    std::atomic<std::size_t>* flag_;
    bool shared_;
};

Result<Borrow> Borrow::take(std::atomic<std::size_t>& flag, Access access) {
    if (access == Access::shared) {
        std::size_t current = flag.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return std::unexpected(BorrowConflict{"Already mutably borrowed"});
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        return Borrow(&flag, true);
    }
    std::size_t idle = 0;
    if (flag.compare_exchange_strong(idle, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) {
        return Borrow(&flag, false);
    }
    // __enter__ and __exit__ treat an overlap as a broken expectation.
    if (access == Access::strict) return std::unexpected(InternalError{"Already borrowed"});
    return std::unexpected(BorrowConflict{"Already borrowed"});
}

struct InUse {
    ParserRecord* record;
    Borrow borrow;
};

// Checks that `self` is a Kind object owned by the calling thread and takes a
// use of it.
template <class Kind>
Result<InUse> begin_use(PyObject* self, Access access) {
    PyTypeObject* type = Kind::type();
    if (type == nullptr) return std::unexpected(PythonError{});
    if (!Py_IS_TYPE(self, type)) {
        set_type_mismatch(self, Kind::class_name);
        return std::unexpected(PythonError{});
    }
    ParserRecord& record = record_of(self);
    const ThreadId caller = current_thread();
    if (caller != record.owner) {
        return std::unexpected(InternalError{std::format(
            "assertion `left == right` failed: {} is unsendable, but sent to another thread\n"
            "  left: ThreadId({})\n right: ThreadId({})",
            Kind::record_name, caller, record.owner)});
    }
    Result<Borrow> borrow = Borrow::take(record.borrow, access);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    return InUse{&record, std::move(*borrow)};
}

// ---------------------------------------------------------------------------
// Waiting for packets

// `seconds` as whole nanoseconds, rounded to the nearest (ties to even). Waits
// longer than the nanosecond count can hold (about 292 years) saturate, which
// the engine treats as a wait without deadline.
std::expected<std::chrono::nanoseconds, InternalError> seconds_to_duration(double seconds) {
    if (seconds < 0.0) {
        return std::unexpected(InternalError{"cannot convert float seconds to Duration: value is negative"});
    }
    if (!(seconds < 0x1p64)) {
        return std::unexpected(
            InternalError{"cannot convert float seconds to Duration: value is either too big or NaN"});
    }
    // seconds == mantissa * 2^exponent exactly, with mantissa < 2^53 and exponent <= 11.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    using Wide = unsigned __int128;
    const Wide scaled = Wide{mantissa} * 1'000'000'000u;  // below 2^83
    Wide nanos = 0;
    if (exponent >= 0) {
        nanos = scaled << exponent;
    } else if (exponent > -128) {
        const int shift = -exponent;
        nanos = scaled >> shift;
        const Wide rest = scaled - (nanos << shift);
        const Wide half = Wide{1} << (shift - 1);
        if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
    }
    using Rep = std::chrono::nanoseconds::rep;
    constexpr Rep kLongest = std::numeric_limits<Rep>::max();
    return std::chrono::nanoseconds(nanos > static_cast<Wide>(kLongest) ? kLongest : static_cast<Rep>(nanos));
}

// The reader's oldest failure, else everything queued (waiting up to the
// timeout for the first packet when `block`), as a new list.
Result<OwnedRef> collect(ParserRecord& record, bool block) {
    if (std::optional<std::string> error = record.engine.take_reader_error()) {
        return std::unexpected(IoFailure{std::move(*error)});
    }
    std::optional<std::chrono::nanoseconds> wait;
    if (block) {
        auto duration = seconds_to_duration(record.timeout);
        if (!duration) return std::unexpected(std::move(duration.error()));
        wait = *duration;
    }
    auto batch = record.engine.collect_packets(wait);
    if (!batch) return std::unexpected(IoFailure{"timed out waiting on channel"});
    PyObject* list = packets_to_list(std::move(*batch));
    if (list == nullptr) return std::unexpected(PythonError{});
    return OwnedRef::steal(list);
}

// ---------------------------------------------------------------------------
// Construction

// A new object of `type` owning an engine over the opened source; a source
// that could not be opened is raised as OSError. Nothing stays open on failure.
Result<OwnedRef> make_parser(PyTypeObject* type, OpenResult opened, double timeout) {
    if (!opened) return std::unexpected(IoFailure{std::move(opened.error())});
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return std::unexpected(PythonError{});
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
    return InternalError{std::format("serial port path is not valid UTF-8: {}", detail ? detail : "?")};
}

constexpr const char* kSerialNames[] = {"port", "baudrate", "timeout"};
constexpr const char* kMockNames[] = {"path", "timeout"};
constexpr const char* kBlockNames[] = {"block"};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_value", "_traceback"};

PyObject* new_serial_parser(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<OwnedRef> {
        static constexpr Signature signature{"SerialParser.__new__()", kSerialNames, 1};
        PyObject* bound[3] = {};
        if (!bind_tuple(signature, args, kwargs, bound)) return std::unexpected(PythonError{});
        const std::optional<std::string> port = convert_path(bound[0], "port");
        if (!port) return std::unexpected(PythonError{});
        if (std::optional<InternalError> bad = check_port_text(*port)) return std::unexpected(std::move(*bad));
        const std::optional<std::uint32_t> baudrate = convert_baudrate(bound[1]);
        if (!baudrate) return std::unexpected(PythonError{});
        const std::optional<double> timeout = convert_timeout(bound[2]);
        if (!timeout) return std::unexpected(PythonError{});
        return make_parser(type, open_serial_port(*port, *baudrate, *timeout), *timeout);
    });
}

PyObject* new_mock_parser(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> Result<OwnedRef> {
        static constexpr Signature signature{"MockParser.__new__()", kMockNames, 1};
        PyObject* bound[2] = {};
        if (!bind_tuple(signature, args, kwargs, bound)) return std::unexpected(PythonError{});
        const std::optional<std::string> path = convert_path(bound[0], "path");
        if (!path) return std::unexpected(PythonError{});
        const std::optional<double> timeout = convert_timeout(bound[1]);
        if (!timeout) return std::unexpected(PythonError{});
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
        if (!use) return std::unexpected(std::move(use.error()));
        if (auto started = use->record->engine.start(); !started) return std::unexpected(std::move(started.error()));
        return none();
    });
}

// Blocks until the reader thread has ended, with the interpreter lock held.
template <class Kind>
PyObject* stop(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::exclusive);
        if (!use) return std::unexpected(std::move(use.error()));
        use->record->engine.stop();
        return none();
    });
}

template <class Kind>
PyObject* get_data_packets(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> Result<OwnedRef> {
        PyObject* bound[1] = {};
        if (!bind_fastcall(Kind::get_data_packets_signature, args, nargs, kwnames, bound)) {
            return std::unexpected(PythonError{});
        }
        Result<InUse> use = begin_use<Kind>(self, Access::exclusive);
        if (!use) return std::unexpected(std::move(use.error()));
        // May run Python code (the truth slot of a numpy-like type), which is
        // why the object is already in use here.
        const std::optional<bool> block = convert_block(bound[0]);
        if (!block) return std::unexpected(PythonError{});
        return collect(*use->record, *block);
    });
}

template <class Kind>
PyObject* is_running(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::shared);
        if (!use) return std::unexpected(std::move(use.error()));
        return OwnedRef::steal(PyBool_FromLong(use->record->engine.is_running()));
    });
}

template <class Kind>
PyObject* enter_context(PyObject* self, PyObject*) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<InUse> use = begin_use<Kind>(self, Access::strict);
        if (!use) return std::unexpected(std::move(use.error()));
        if (auto started = use->record->engine.start(); !started) return std::unexpected(std::move(started.error()));
        return OwnedRef::new_ref(self);
    });
}

// Never suppresses an exception of the with-block: always returns None.
template <class Kind>
PyObject* exit_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> Result<OwnedRef> {
        PyObject* ignored[3] = {};
        if (!bind_fastcall(Kind::exit_signature, args, nargs, kwnames, ignored)) return std::unexpected(PythonError{});
        Result<InUse> use = begin_use<Kind>(self, Access::strict);
        if (!use) return std::unexpected(std::move(use.error()));
        use->record->engine.stop();
        return none();
    });
}

// ---------------------------------------------------------------------------
// Deallocation

// Reports a drop on a foreign thread to the unraisable hook, keeping any
// exception that is being raised while the object goes.
void report_foreign_drop(const char* record_name) {
    const std::string message = std::format("{} is unsendable, but is being dropped on another thread", record_name);
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
