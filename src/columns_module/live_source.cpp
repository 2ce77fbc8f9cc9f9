// brimlet_columns.LiveSource: the parser engine's run over a serial port or a
// recording, handed out in batches of columns, with a descriptor to wait on.
//
// Unlike the parser classes, a LiveSource never holds the interpreter lock
// while it waits (columns_module/reader_object.hpp): read() waits on the
// readiness descriptor with the lock released (in slices, running signal
// handlers between them), and close() joins the reader thread without it.
//
// Sources still open when the interpreter exits are closed by an atexit
// handler, so no reader thread outlives the interpreter's finalization and
// the port is let go as soon as the program ends.

#include "columns_module/live_source.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "columns_module/column_object.hpp"
#include "columns_module/reader_object.hpp"
#include "lib/boundary.hpp"
#include "lib/use_guard.hpp"
#include "live/live_feed.hpp"
#include "serial/file_source.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::py::Borrow;
using brimlet::py::checked;
using brimlet::py::PythonError;
using brimlet::py::Result;

struct LiveObject {
    PyObject_HEAD
    LiveFeed* feed;  // null once closed
    std::atomic<std::size_t> busy;
    PyObject* column_type;
    PyInterpreterState* interpreter;

    using Feed = LiveFeed;
    static constexpr const char* kClosedText = "I/O operation on a closed live source";
    static constexpr const char* kCloseDoc = "close($self)\n--\n\nStops the reader and releases the source.";
    static constexpr const char* kClosedDoc = "True once the source is closed.";
    static void let_go(LiveObject& live);
    static void clear(LiveObject& live) { Py_CLEAR(live.column_type); }
};

using Reader = ReaderObject<LiveObject>;

// The sources open in this process, for closing at interpreter exit.
std::mutex open_lock;
std::unordered_set<LiveObject*> open_sources;

void LiveObject::let_go(LiveObject& live) {
    std::lock_guard guard(open_lock);
    open_sources.erase(&live);
}

// New reference to a source of `type` running over the opened source; the
// open failure's text as OSError.
PyObject* new_source(PyTypeObject* type, OpenResult opened) {
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        PyObject* module = PyType_GetModule(type);
        if (module == nullptr) return Unexpected(PythonError{});
        Result<OwnedRef> column_type = checked(PyObject_GetAttrString(module, "Column"));
        if (!column_type) return column_type;
        Result<OwnedRef> made = Reader::start(type, std::move(opened));
        if (!made) return made;
        LiveObject& live = Reader::of(made->get());
        live.column_type = column_type->release();
        live.interpreter = PyInterpreterState_Get();
        std::lock_guard guard(open_lock);
        open_sources.insert(&live);
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
    std::optional<OpenResult> opened = open_port(port, baudrate, [&](std::string_view name, std::uint32_t baud) {
        if (checked_timeout(timeout, "timeout must be a non-negative number") < 0) return std::optional<OpenResult>();
        return std::optional<OpenResult>(open_serial_port(name, baud, timeout));
    });
    if (!opened) return nullptr;
    return new_source(type, std::move(*opened));
}

// LiveSource.recording(path)
PyObject* live_recording(PyObject* cls, PyObject* arg) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(arg, &converted)) return nullptr;
    OwnedRef path = OwnedRef::steal(converted);
    const std::string_view name(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
    return new_source(reinterpret_cast<PyTypeObject*>(cls), open_recording(name));
}

// read(timeout=None): see the stub.
PyObject* live_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    return Reader::read(self, args, kwargs, [](LiveObject& live, LiveFeed& feed) -> Result<OwnedRef> {
        Expected<Taken, DecodeError> taken = feed.take();
        if (!taken) return Unexpected(brimlet::py::OutOfMemory{});
        if (std::holds_alternative<Ended>(*taken)) return OwnedRef::new_ref(Py_None);
        if (auto* failed = std::get_if<ReadFailed>(&*taken)) return Unexpected(brimlet::py::read_failure(std::move(failed->failure)));
        auto* column_type = reinterpret_cast<PyTypeObject*>(live.column_type);
        LiveBatch& batch = std::get<LiveBatch>(*taken);
        const std::size_t rows = batch.table.size;
        // Where a frame lay in the line's stream means nothing to a live reader.
        Result<OwnedRef> columns = checked(columns_dict(column_type, batch.table, false));
        if (!columns) return columns;
        OwnedRef boot = new_column(column_type, batch.boot.release(), rows, sizeof(std::int64_t), "q");
        if (!boot || PyDict_SetItemString(columns->get(), "boot", boot.get()) < 0) {
            return Unexpected(brimlet::py::PythonError{});
        }
        return columns;
    });
}

PyObject* live_scan_totals(PyObject* self, PyObject*) {
    return Reader::with_feed(self, [](LiveObject&, LiveFeed& feed) {
        const ScanCounts& counts = feed.counts();
        const auto load = [](const std::atomic<std::uint64_t>& n) {
            return static_cast<unsigned long long>(n.load(std::memory_order_relaxed));
        };
        return checked(Py_BuildValue("{sKsKsKsK}", "bytes", load(counts.bytes), "outside", load(counts.outside),
                                     "bad_checksums", load(counts.bad_checksums), "other_frames",
                                     load(counts.other_frames)));
    });
}

int live_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Reader::of(self).column_type);
    Py_VISIT(Py_TYPE(self));
    return 0;
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
        LiveObject& live = Reader::of(source.get());
        Result<Borrow> using_it = Reader::use(live);
        if (!using_it) Py_RETURN_NONE;
        Reader::close_feed(live);
    }
}

PyMethodDef live_methods[] = {
    {"recording", live_recording, METH_O | METH_CLASS,
     "recording(path, /)\n--\n\nA live source that reads the recording at `path` as fast as it goes."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(live_read)), METH_VARARGS | METH_KEYWORDS,
     "read($self, timeout=None)\n--\n\nEverything queued, as a dict of Column objects."},
    Reader::kFileno,
    {"scan_totals", live_scan_totals, METH_NOARGS,
     "scan_totals($self)\n--\n\nWhat the reader has read and the scanner passed over so far."},
    Reader::kClose,
    Reader::kEnter,
    Reader::kExit,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef live_getset[] = {
    Reader::kClosed,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot live_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader::dealloc)},
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
