// brimlet_columns.LiveSource: the parser engine's run over a serial port or a
// recording, handed out in batches of columns, with a descriptor to wait on.
//
// Unlike the parser classes, a LiveSource never holds the interpreter lock
// while it waits: read() waits on the readiness descriptor with the lock
// released (in slices, running signal handlers between them), and close()
// joins the reader thread without it. Any thread may use a source, one call
// at a time: a call that overlaps another raises RuntimeError.
//
// Sources still open when the interpreter exits are closed by an atexit
// handler, so no reader thread outlives the interpreter's finalization and
// the port is let go as soon as the program ends.

#include "columns_module/live_source.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "columns_module/column_object.hpp"
#include "lib/boundary.hpp"
#include "lib/use_guard.hpp"
#include "live/live_feed.hpp"
#include "serial/file_source.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::columns::py {

using namespace std::chrono_literals;

// How long a wait goes without running signal handlers.
constexpr std::chrono::milliseconds kSignalCheck{100};
// A wait at least this long (about 31 years) never ends: its deadline
// would not fit the clock.
constexpr double kEndlessSeconds = 1e9;

double checked_timeout(double seconds, const char* refusal) {
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return -1;
    }
    return seconds;
}

bool checked_baud(PyObject* baudrate, std::uint32_t& baud) {
    unsigned long value = kDefaultBaudrate;
    if (baudrate != Py_None) {
        value = PyLong_AsUnsignedLong(baudrate);
        if (PyErr_Occurred()) return false;
        if (value > 0xFFFFFFFFul) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    baud = static_cast<std::uint32_t>(value);
    return true;
}

bool wait_ready(const std::function<bool(std::chrono::milliseconds)>& wait, double seconds) {
    const bool forever = seconds < 0 || seconds >= kEndlessSeconds;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(forever ? 0.0 : seconds));
    for (;;) {
        auto slice = kSignalCheck;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            slice = std::clamp(left, 0ms, kSignalCheck);
        }
        bool ready;
        Py_BEGIN_ALLOW_THREADS
        ready = wait(slice);
        Py_END_ALLOW_THREADS
        if (ready || (!forever && std::chrono::steady_clock::now() >= deadline)) return true;
        if (PyErr_CheckSignals() != 0) return false;
    }
}

namespace {

using brimlet::py::Borrow;
using brimlet::py::boundary;
using brimlet::py::checked;
using brimlet::py::IoFailure;
using brimlet::py::PythonError;
using brimlet::py::Result;

struct LiveObject {
    PyObject_HEAD
    LiveFeed* feed;  // null once closed
    PyObject* column_type;
    PyInterpreterState* interpreter;
    std::atomic<std::size_t> busy;  // the borrow flag of its uses
};

LiveObject* as_live(PyObject* self) { return reinterpret_cast<LiveObject*>(self); }

// The sources open in this process, for closing at interpreter exit.
std::mutex open_lock;
std::unordered_set<LiveObject*> open_sources;

// One call's use of a source; a second use at the same time is refused.
Result<Borrow> use(LiveObject* live) { return Borrow::take(live->busy, brimlet::py::Access::exclusive); }

// The feed of a source in use; ValueError when it is closed.
Result<LiveFeed*> open_feed(LiveObject* live) {
    if (live->feed == nullptr) return Unexpected(IoFailure{"I/O operation on a closed live source", PyExc_ValueError});
    return live->feed;
}

// Stops the run and releases the feed, without the interpreter lock.
void close_feed(LiveObject* live) {
    LiveFeed* feed = std::exchange(live->feed, nullptr);
    if (feed == nullptr) return;
    {
        std::lock_guard guard(open_lock);
        open_sources.erase(live);
    }
    Py_BEGIN_ALLOW_THREADS
    delete feed;
    Py_END_ALLOW_THREADS
}

// New reference to a source of `type` running over the opened source; the
// open failure's text as OSError.
PyObject* new_source(PyTypeObject* type, OpenResult opened) {
    return boundary([&]() -> Result<OwnedRef> {
        if (!opened) return Unexpected(IoFailure{std::move(opened).error().text});
        PyObject* module = PyType_GetModule(type);
        if (module == nullptr) return Unexpected(PythonError{});
        Result<OwnedRef> column_type = checked(PyObject_GetAttrString(module, "Column"));
        if (!column_type) return column_type;
        auto feed = LiveFeed::start(std::move(*opened));
        if (!feed) return Unexpected(IoFailure{std::move(feed).error()});
        Result<OwnedRef> made = checked(type->tp_alloc(type, 0));
        if (!made) return made;  // the feed stops and closes as it goes
        LiveObject* live = as_live(made->get());
        live->feed = feed->release();
        live->column_type = column_type->release();
        live->interpreter = PyInterpreterState_Get();
        new (&live->busy) std::atomic<std::size_t>(0);
        std::lock_guard guard(open_lock);
        open_sources.insert(live);
        return made;
    });
}

// LiveSource(port, baudrate=None, timeout=1.0)
PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"port", "baudrate", "timeout", nullptr};
    PyObject* port = nullptr;
    PyObject* baudrate = Py_None;
    double timeout = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|Od:LiveSource", const_cast<char**>(names),
                                     PyUnicode_FSConverter, &port, &baudrate, &timeout)) {
        return nullptr;
    }
    OwnedRef path = OwnedRef::steal(port);
    std::uint32_t baud = 0;
    if (!checked_baud(baudrate, baud)) return nullptr;
    if (checked_timeout(timeout, "timeout must be a non-negative number") < 0) return nullptr;
    const std::string_view name(PyBytes_AS_STRING(path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
    return new_source(type, open_serial_port(name, baud, timeout));
}

// LiveSource.recording(path)
PyObject* live_recording(PyObject* cls, PyObject* arg) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(arg, &converted)) return nullptr;
    OwnedRef path = OwnedRef::steal(converted);
    const std::string_view name(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
    return new_source(reinterpret_cast<PyTypeObject*>(cls), open_recording(name));
}

// Runs `body(source, feed)` on the open feed of the source `self` in a use
// of it; its result, or the failure to use it.
template <class Body>
PyObject* with_feed(PyObject* self, Body body) {
    LiveObject* live = as_live(self);
    return boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(live);
        if (!using_it) return Unexpected(std::move(using_it).error());
        Result<LiveFeed*> feed = open_feed(live);
        if (!feed) return Unexpected(std::move(feed).error());
        return body(*live, **feed);
    });
}

// read(timeout=None): see the stub.
PyObject* live_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", nullptr};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:read", const_cast<char**>(names), &timeout)) return nullptr;
    double seconds = -1;
    if (timeout != Py_None) {
        seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1 && PyErr_Occurred()) return nullptr;
        if (checked_timeout(seconds, "timeout must be a non-negative number or None") < 0) return nullptr;
    }
    return with_feed(self, [&](LiveObject& live, LiveFeed& feed) -> Result<OwnedRef> {
        if (!wait_ready([&](std::chrono::milliseconds slice) { return feed.wait(slice); }, seconds)) return Unexpected(PythonError{});
        Expected<Taken, DecodeError> taken = feed.take();
        if (!taken) return Unexpected(brimlet::py::OutOfMemory{});
        if (std::holds_alternative<Ended>(*taken)) return OwnedRef::new_ref(Py_None);
        if (auto* failed = std::get_if<ReadFailed>(&*taken)) return Unexpected(brimlet::py::read_failure(std::move(failed->failure)));
        // Where a frame lay in the line's stream means nothing to a live reader.
        return checked(
            columns_dict(reinterpret_cast<PyTypeObject*>(live.column_type), std::get<ColumnTable>(*taken), false));
    });
}

PyObject* live_fileno(PyObject* self, PyObject*) {
    return with_feed(self, [](LiveObject&, LiveFeed& feed) { return checked(PyLong_FromLong(feed.fd())); });
}

PyObject* live_scan_totals(PyObject* self, PyObject*) {
    return with_feed(self, [](LiveObject&, LiveFeed& feed) {
        const ScanCounts& counts = feed.counts();
        const auto load = [](const std::atomic<std::uint64_t>& n) {
            return static_cast<unsigned long long>(n.load(std::memory_order_relaxed));
        };
        return checked(Py_BuildValue("{sKsKsKsK}", "bytes", load(counts.bytes), "outside", load(counts.outside),
                                     "bad_checksums", load(counts.bad_checksums), "other_frames",
                                     load(counts.other_frames)));
    });
}

PyObject* live_close(PyObject* self, PyObject*) {
    LiveObject* live = as_live(self);
    return boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(live);
        if (!using_it) return Unexpected(std::move(using_it).error());
        close_feed(live);
        return OwnedRef::new_ref(Py_None);
    });
}

PyObject* live_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* live_exit(PyObject* self, PyObject*) { return live_close(self, nullptr); }

PyObject* live_closed(PyObject* self, void*) { return PyBool_FromLong(as_live(self)->feed == nullptr); }

int live_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_live(self)->column_type);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void live_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    close_feed(as_live(self));
    Py_CLEAR(as_live(self)->column_type);
    as_live(self)->busy.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

// The atexit handler: closes the sources of this interpreter that are open
// and not in use (a daemon thread may still be waiting in one).
PyObject* close_open_sources(PyObject*, PyObject*) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    for (;;) {
        OwnedRef source;
        {
            std::lock_guard guard(open_lock);
            for (LiveObject* live : open_sources) {
                if (live->interpreter == interpreter && live->busy.load(std::memory_order_relaxed) == 0) {
                    source = OwnedRef::new_ref(reinterpret_cast<PyObject*>(live));
                    break;
                }
            }
        }
        if (!source) Py_RETURN_NONE;
        Result<Borrow> using_it = use(as_live(source.get()));
        if (!using_it) Py_RETURN_NONE;
        close_feed(as_live(source.get()));
    }
}

PyMethodDef live_methods[] = {
    {"recording", live_recording, METH_O | METH_CLASS,
     "recording(path, /)\n--\n\nA live source that reads the recording at `path` as fast as it goes."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(live_read)), METH_VARARGS | METH_KEYWORDS,
     "read($self, timeout=None)\n--\n\nEverything queued, as a dict of Column objects."},
    {"fileno", live_fileno, METH_NOARGS, "fileno($self)\n--\n\nThe readiness descriptor."},
    {"scan_totals", live_scan_totals, METH_NOARGS,
     "scan_totals($self)\n--\n\nWhat the reader has read and the scanner passed over so far."},
    {"close", live_close, METH_NOARGS, "close($self)\n--\n\nStops the reader and releases the source."},
    {"__enter__", live_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", live_exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef live_getset[] = {
    {"closed", live_closed, nullptr, "True once the source is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot live_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(live_traverse)},
    {Py_tp_methods, live_methods},
    {Py_tp_getset, live_getset},
    {Py_tp_doc, const_cast<char*>("LiveSource(port, baudrate=None, timeout=1.0)\n--\n\n"
                                  "The device's packets as they arrive, in batches of columns.")},
    {0, nullptr},
};

PyType_Spec live_spec = {
    .name = "brimlet_columns.LiveSource",
    .basicsize = sizeof(LiveObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = live_slots,
};

PyMethodDef close_open_sources_def = {"_close_live_sources", close_open_sources, METH_NOARGS, nullptr};

}  // namespace

PyObject* make_live_source_type(PyObject* module) {
    OwnedRef type = OwnedRef::steal(PyType_FromModuleAndSpec(module, &live_spec, nullptr));
    if (!type) return nullptr;
    OwnedRef atexit = OwnedRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return nullptr;
    OwnedRef closer = OwnedRef::steal(PyCFunction_New(&close_open_sources_def, nullptr));
    if (!closer) return nullptr;
    OwnedRef registered = OwnedRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", closer.get()));
    if (!registered) return nullptr;
    return type.release();
}

}  // namespace brimlet::columns::py
