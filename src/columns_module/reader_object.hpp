#pragma once
// What the reader types of brimlet_columns (LiveSource, Capture) share: an
// object that owns a feed, whose reader thread runs from the object's making
// until it is closed (by close(), its context's end, or its deallocation).
//
// No call holds the interpreter lock while it waits for the feed or joins
// its reader thread. Any thread may use an object, one call at a time: a
// call that overlaps another raises RuntimeError.
//
// A type's object struct (`Object`) holds:
//   PyObject_HEAD, then `Feed* feed` (null once closed) and
//   `std::atomic<std::size_t> busy` (the borrow flag of its uses);
//   `using Feed`, the core feed it owns (`start(source)`, `fd()`, `wait(slice)`);
//   `kClosedText`, the ValueError's text for a closed object;
//   `kCloseDoc` and `kClosedDoc`, the docstrings of close() and `closed`;
//   `static void let_go(Object&)`, what else closing undoes (before the feed stops);
//   `static void clear(Object&)`, what deallocation releases besides the feed.

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "lib/boundary.hpp"
#include "lib/use_guard.hpp"
#include "serial/byte_source.hpp"

namespace brimlet::columns::py {

// A timeout argument: seconds, or -1 with ValueError(`refusal`) set when it is NaN or negative.
double checked_timeout(double seconds, const char* refusal);
// A baudrate argument (None: the default) into `baud`; false with an exception set.
bool checked_baud(PyObject* baudrate, std::uint32_t& baud);
// Waits up to `seconds` (negative or endless: without a limit) with `wait`,
// in slices, without the interpreter lock; false with an exception set when
// a signal handler raised.
bool wait_ready(const std::function<bool(std::chrono::milliseconds)>& wait, double seconds);

// The port named by `port` (bytes from PyUnicode_FSConverter, a reference
// taken over) at `baudrate` (None: the default), opened by `open(name, baud)`;
// nullopt with an exception set when the baudrate, or `open`, refuses.
template <class Open>
std::optional<OpenResult> open_port(PyObject* port, PyObject* baudrate, Open open) {
    brimlet::py::OwnedRef path = brimlet::py::OwnedRef::steal(port);
    std::uint32_t baud = 0;
    if (!checked_baud(baudrate, baud)) return std::nullopt;
    const std::string_view name(PyBytes_AS_STRING(path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
    return open(name, baud);
}

template <class Object>
struct ReaderObject {
    using Feed = typename Object::Feed;
    using OwnedRef = brimlet::py::OwnedRef;
    template <class T>
    using Result = brimlet::py::Result<T>;

    static Object& of(PyObject* self) { return *reinterpret_cast<Object*>(self); }

    // A new object of `type` whose feed runs over the opened source (the
    // rest of it zeroed); the open failure's text as OSError.
    static Result<OwnedRef> start(PyTypeObject* type, OpenResult opened) {
        using brimlet::py::IoFailure;
        if (!opened) return Unexpected(IoFailure{std::move(opened).error().text});
        auto feed = Feed::start(std::move(*opened));
        if (!feed) return Unexpected(IoFailure{std::move(feed).error()});
        Result<OwnedRef> made = brimlet::py::checked(type->tp_alloc(type, 0));
        if (!made) return made;  // the feed stops and closes as it goes
        Object& object = of(made->get());
        object.feed = feed->release();
        new (&object.busy) std::atomic<std::size_t>(0);
        return made;
    }

    // Stops the reader and releases the feed, without the interpreter lock;
    // nothing once closed.
    static void close_feed(Object& object) {
        Feed* feed = std::exchange(object.feed, nullptr);
        if (feed == nullptr) return;
        Object::let_go(object);
        Py_BEGIN_ALLOW_THREADS
        delete feed;
        Py_END_ALLOW_THREADS
    }

    // One call's use of `object`; a second use at the same time is refused.
    static Result<brimlet::py::Borrow> use(Object& object) {
        return brimlet::py::Borrow::take(object.busy, brimlet::py::Access::exclusive);
    }

    // Runs `body(object)` on `self` in a use of it; its result, or the
    // failure to use it.
    template <class Body>
    static PyObject* in_use(PyObject* self, Body body) {
        Object& object = of(self);
        return brimlet::py::boundary([&]() -> Result<OwnedRef> {
            Result<brimlet::py::Borrow> using_it = use(object);
            if (!using_it) return Unexpected(std::move(using_it).error());
            return body(object);
        });
    }

    // The same with the open feed: `body(object, feed)`; ValueError once closed.
    template <class Body>
    static PyObject* with_feed(PyObject* self, Body body) {
        return in_use(self, [&](Object& object) -> Result<OwnedRef> {
            if (object.feed == nullptr) {
                return Unexpected(brimlet::py::IoFailure{Object::kClosedText, PyExc_ValueError});
            }
            return body(object, *object.feed);
        });
    }

    // read(timeout=None): waits up to `timeout` seconds (None: without end)
    // for the feed, then runs `body(object, feed)`.
    template <class Body>
    static PyObject* read(PyObject* self, PyObject* args, PyObject* kwargs, Body body) {
        static const char* names[] = {"timeout", nullptr};
        PyObject* timeout = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:read", const_cast<char**>(names), &timeout)) return nullptr;
        double seconds = -1;
        if (timeout != Py_None) {
            seconds = PyFloat_AsDouble(timeout);
            if (seconds == -1 && PyErr_Occurred()) return nullptr;
            if (checked_timeout(seconds, "timeout must be a non-negative number or None") < 0) return nullptr;
        }
        return with_feed(self, [&](Object& object, Feed& feed) -> Result<OwnedRef> {
            if (!wait_ready([&](std::chrono::milliseconds slice) { return feed.wait(slice); }, seconds)) {
                return Unexpected(brimlet::py::PythonError{});
            }
            return body(object, feed);
        });
    }

    static PyObject* fileno(PyObject* self, PyObject*) {
        return with_feed(self, [](Object&, Feed& feed) { return brimlet::py::checked(PyLong_FromLong(feed.fd())); });
    }

    static PyObject* close(PyObject* self, PyObject*) {
        return in_use(self, [](Object& object) -> Result<OwnedRef> {
            close_feed(object);
            return OwnedRef::new_ref(Py_None);
        });
    }

    static PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }
    static PyObject* exit(PyObject* self, PyObject*) { return close(self, nullptr); }
    static PyObject* closed(PyObject* self, void*) { return PyBool_FromLong(of(self).feed == nullptr); }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
        close_feed(of(self));
        Object::clear(of(self));
        of(self).busy.~atomic();
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The rows of the methods and the attribute every reader type has.
    static constexpr PyMethodDef kFileno{"fileno", fileno, METH_NOARGS, "fileno($self)\n--\n\nThe readiness descriptor."};
    static constexpr PyMethodDef kClose{"close", close, METH_NOARGS, Object::kCloseDoc};
    static constexpr PyMethodDef kEnter{"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"};
    static constexpr PyMethodDef kExit{"__exit__", exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\n"};
    static constexpr PyGetSetDef kClosed{"closed", closed, nullptr, Object::kClosedDoc, nullptr};
};

}  // namespace brimlet::columns::py
