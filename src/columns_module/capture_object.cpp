// brimlet_columns.Capture: the bytes of a serial port as they were read, each
// read with its receive and boot times taken on the reader thread, and what
// the frame scan found in them. Opened by the same opener as LiveSource, so
// that a port fails to open in the same words everywhere.
//
// As with LiveSource, no call holds the interpreter lock while it waits, and
// a call that overlaps another raises RuntimeError.

#include "columns_module/capture_object.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "columns_module/live_source.hpp"
#include "lib/boundary.hpp"
#include "lib/use_guard.hpp"
#include "live/capture_feed.hpp"
#include "protocol/packet_schema.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::live::CaptureCounts;
using brimlet::live::CaptureFeed;
using brimlet::live::CaptureTaken;
using brimlet::py::Borrow;
using brimlet::py::OwnedRef;
using brimlet::py::boundary;
using brimlet::py::checked;
using brimlet::py::IoFailure;
using brimlet::py::PythonError;
using brimlet::py::Result;

// A read waits without end for input; a stop ends the wait within kStopCheckInterval.
constexpr double kNoReadTimeout = 1e30;

struct CaptureObject {
    PyObject_HEAD
    CaptureFeed* feed;  // null once closed
    CaptureCounts counts;  // as of the last read taken
    std::atomic<std::size_t> busy;
};

CaptureObject* as_capture(PyObject* self) { return reinterpret_cast<CaptureObject*>(self); }

void close_capture(CaptureObject* capture) {
    CaptureFeed* feed = std::exchange(capture->feed, nullptr);
    if (feed == nullptr) return;
    Py_BEGIN_ALLOW_THREADS
    delete feed;
    Py_END_ALLOW_THREADS
}

// Capture(port, baudrate=None)
PyObject* capture_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"port", "baudrate", nullptr};
    PyObject* port = nullptr;
    PyObject* baudrate = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|O:Capture", const_cast<char**>(names), PyUnicode_FSConverter,
                                     &port, &baudrate)) {
        return nullptr;
    }
    OwnedRef path = OwnedRef::steal(port);
    std::uint32_t baud = 0;
    if (!checked_baud(baudrate, baud)) return nullptr;
    const std::string_view name(PyBytes_AS_STRING(path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
    OpenResult opened = open_serial_port(name, baud, kNoReadTimeout);
    return boundary([&]() -> Result<OwnedRef> {
        if (!opened) return Unexpected(IoFailure{std::move(opened).error().text});
        auto feed = CaptureFeed::start(std::move(*opened));
        if (!feed) return Unexpected(IoFailure{std::move(feed).error()});
        Result<OwnedRef> made = checked(type->tp_alloc(type, 0));
        if (!made) return made;
        CaptureObject* capture = as_capture(made->get());
        capture->feed = feed->release();
        new (&capture->counts) CaptureCounts{};
        new (&capture->busy) std::atomic<std::size_t>(0);
        return made;
    });
}

template <class Body>
PyObject* with_feed(PyObject* self, Body body) {
    CaptureObject* capture = as_capture(self);
    return boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = Borrow::take(capture->busy, brimlet::py::Access::exclusive);
        if (!using_it) return Unexpected(std::move(using_it).error());
        if (capture->feed == nullptr) {
            return Unexpected(IoFailure{"I/O operation on a closed capture", PyExc_ValueError});
        }
        return body(*capture, *capture->feed);
    });
}

// The reads taken, as a list of (bytes, received_ns, boot_ns).
Result<OwnedRef> reads_list(const CaptureTaken& taken) {
    Result<OwnedRef> list = checked(PyList_New(static_cast<Py_ssize_t>(taken.reads.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < taken.reads.size(); ++i) {
        const auto& read = taken.reads[i];
        PyObject* item = Py_BuildValue("(y#LL)", reinterpret_cast<const char*>(read.bytes.data()),
                                       static_cast<Py_ssize_t>(read.bytes.size()),
                                       static_cast<long long>(read.received_ns), static_cast<long long>(read.boot_ns));
        if (item == nullptr) return Unexpected(PythonError{});
        PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// read(timeout=None): see the stub.
PyObject* capture_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", nullptr};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:read", const_cast<char**>(names), &timeout)) return nullptr;
    double seconds = -1;
    if (timeout != Py_None) {
        seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1 && PyErr_Occurred()) return nullptr;
        if (checked_timeout(seconds, "timeout must be a non-negative number or None") < 0) return nullptr;
    }
    return with_feed(self, [&](CaptureObject& capture, CaptureFeed& feed) -> Result<OwnedRef> {
        if (!wait_ready([&](std::chrono::milliseconds slice) { return feed.wait(slice); }, seconds)) {
            return Unexpected(PythonError{});
        }
        CaptureTaken taken = feed.take();
        capture.counts = taken.counts;
        if (taken.failure) return Unexpected(brimlet::py::read_failure(std::move(*taken.failure)));
        if (taken.reads.empty() && taken.ended) return OwnedRef::new_ref(Py_None);
        return reads_list(taken);
    });
}

PyObject* capture_counts(PyObject* self, PyObject*) {
    return with_feed(self, [](CaptureObject& capture, CaptureFeed&) -> Result<OwnedRef> {
        const CaptureCounts& c = capture.counts;
        const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
        static_assert(schema::kKindCount == 2);
        return checked(Py_BuildValue("{sKsKsKsKsKsKsK}", "bytes", n(c.bytes), "finished", n(c.finished), "outside",
                                     n(c.outside), "bad_checksums", n(c.bad_checksums), "other_frames",
                                     n(c.other_frames), schema::kKindNames[0].data(), n(c.packets[0]),
                                     schema::kKindNames[1].data(), n(c.packets[1])));
    });
}

PyObject* capture_fileno(PyObject* self, PyObject*) {
    return with_feed(self, [](CaptureObject&, CaptureFeed& feed) { return checked(PyLong_FromLong(feed.fd())); });
}

PyObject* capture_close(PyObject* self, PyObject*) {
    CaptureObject* capture = as_capture(self);
    return boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = Borrow::take(capture->busy, brimlet::py::Access::exclusive);
        if (!using_it) return Unexpected(std::move(using_it).error());
        close_capture(capture);
        return OwnedRef::new_ref(Py_None);
    });
}

PyObject* capture_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* capture_exit(PyObject* self, PyObject*) { return capture_close(self, nullptr); }

PyObject* capture_closed(PyObject* self, void*) { return PyBool_FromLong(as_capture(self)->feed == nullptr); }

void capture_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    close_capture(as_capture(self));
    as_capture(self)->busy.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef capture_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_read)), METH_VARARGS | METH_KEYWORDS,
     "read($self, timeout=None)\n--\n\nThe reads queued, each as (bytes, received_ns, boot_ns)."},
    {"counts", capture_counts, METH_NOARGS,
     "counts($self)\n--\n\nWhat the frame scan found up to the last read taken."},
    {"fileno", capture_fileno, METH_NOARGS, "fileno($self)\n--\n\nThe readiness descriptor."},
    {"close", capture_close, METH_NOARGS, "close($self)\n--\n\nStops the reader and releases the port."},
    {"__enter__", capture_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", capture_exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef capture_getset[] = {
    {"closed", capture_closed, nullptr, "True once the capture is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capture_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(capture_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capture_dealloc)},
    {Py_tp_methods, capture_methods},
    {Py_tp_getset, capture_getset},
    {Py_tp_doc, const_cast<char*>("Capture(port, baudrate=None)\n--\n\n"
                                  "The bytes of a serial port as read, with the time of every read.")},
    {0, nullptr},
};

PyType_Spec capture_spec = {
    .name = "brimlet_columns.Capture",
    .basicsize = sizeof(CaptureObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = capture_slots,
};

}  // namespace

PyObject* make_capture_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &capture_spec, nullptr); }

}  // namespace brimlet::columns::py
