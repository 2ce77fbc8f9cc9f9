// brimlet_columns.Capture: the bytes of a serial port as they were read, each
// read with its receive and boot times taken on the reader thread, and what
// the frame scan found in them. Opened by the same opener as LiveSource, so
// that a port fails to open in the same words everywhere.
//
// As with LiveSource, no call holds the interpreter lock while it waits, and
// a call that overlaps another raises RuntimeError (columns_module/reader_object.hpp).

#include "columns_module/capture_object.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "columns_module/reader_object.hpp"
#include "lib/boundary.hpp"
#include "live/capture_feed.hpp"
#include "protocol/packet_schema.hpp"
#include "serial/serial_source.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::live::CaptureCounts;
using brimlet::live::CaptureFeed;
using brimlet::live::CaptureTaken;
using brimlet::py::OwnedRef;
using brimlet::py::checked;
using brimlet::py::PythonError;
using brimlet::py::Result;

// A read waits without end for input; a stop ends the wait within kStopCheckInterval.
constexpr double kNoReadTimeout = 1e30;

struct CaptureObject {
    PyObject_HEAD
    CaptureFeed* feed;  // null once closed
    std::atomic<std::size_t> busy;
    CaptureCounts counts;  // as of the last read taken

    using Feed = CaptureFeed;
    static constexpr const char* kClosedText = "I/O operation on a closed capture";
    static constexpr const char* kCloseDoc = "close($self)\n--\n\nStops the reader and releases the port.";
    static constexpr const char* kClosedDoc = "True once the capture is closed.";
    static void let_go(CaptureObject&) {}
    static void clear(CaptureObject&) {}
};

using Reader = ReaderObject<CaptureObject>;

// Capture(port, baudrate=None)
PyObject* capture_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"port", "baudrate", nullptr};
    PyObject* port = nullptr;
    PyObject* baudrate = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|O:Capture", const_cast<char**>(names), PyUnicode_FSConverter,
                                     &port, &baudrate)) {
        return nullptr;
    }
    std::optional<OpenResult> opened = open_port(port, baudrate, [](std::string_view name, std::uint32_t baud) {
        return open_serial_port(name, baud, kNoReadTimeout);
    });
    if (!opened) return nullptr;
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<OwnedRef> made = Reader::start(type, std::move(*opened));
        if (made) new (&Reader::of(made->get()).counts) CaptureCounts{};
        return made;
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
    return Reader::read(self, args, kwargs, [](CaptureObject& capture, CaptureFeed& feed) -> Result<OwnedRef> {
        CaptureTaken taken = feed.take();
        capture.counts = taken.counts;
        if (taken.failure) return Unexpected(brimlet::py::read_failure(std::move(*taken.failure)));
        if (taken.reads.empty() && taken.ended) return OwnedRef::new_ref(Py_None);
        return reads_list(taken);
    });
}

PyObject* capture_counts(PyObject* self, PyObject*) {
    return Reader::with_feed(self, [](CaptureObject& capture, CaptureFeed&) -> Result<OwnedRef> {
        const CaptureCounts& c = capture.counts;
        const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
        static_assert(schema::kKindCount == 2);
        return checked(Py_BuildValue("{sKsKsKsKsKsKsK}", "bytes", n(c.bytes), "finished", n(c.finished), "outside",
                                     n(c.outside), "bad_checksums", n(c.bad_checksums), "other_frames",
                                     n(c.other_frames), schema::kKindNames[0].data(), n(c.packets[0]),
                                     schema::kKindNames[1].data(), n(c.packets[1])));
    });
}

PyMethodDef capture_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_read)), METH_VARARGS | METH_KEYWORDS,
     "read($self, timeout=None)\n--\n\nThe reads queued, each as (bytes, received_ns, boot_ns)."},
    {"counts", capture_counts, METH_NOARGS,
     "counts($self)\n--\n\nWhat the frame scan found up to the last read taken."},
    Reader::kFileno,
    Reader::kClose,
    Reader::kEnter,
    Reader::kExit,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef capture_getset[] = {
    Reader::kClosed,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capture_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(capture_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader::dealloc)},
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
