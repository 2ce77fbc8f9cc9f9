// brimlet_columns.LiveClock: the live sample clock (timing/live_clock.hpp)
// behind a Python object. Columns go in through the buffer protocol and are
// fitted with the interpreter lock released; the times given out come back
// as bytes (int64 ns and uint16), which numpy and memoryview both read. One
// call at a time: a call that overlaps another raises RuntimeError.

#include "columns_module/live_clock_object.hpp"

#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "columns_module/held_buffer.hpp"
#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "lib/use_guard.hpp"
#include "timing/live_clock.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::py::Borrow;
using brimlet::py::OwnedRef;
using brimlet::py::Result;

struct ClockObject {
    PyObject_HEAD
    LiveClock* clock;
    std::atomic<std::size_t> busy;
};

ClockObject* as_clock(PyObject* self) { return reinterpret_cast<ClockObject*>(self); }

Result<Borrow> use(ClockObject* clock) { return Borrow::take(clock->busy, brimlet::py::Access::exclusive); }

Result<OwnedRef> ready_count(const LiveClock& clock) {
    return brimlet::py::checked(PyLong_FromSize_t(clock.ready()));
}

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kinds", "delay", "steady", nullptr};
    Py_ssize_t kinds = 0;
    double delay = 0.5;
    int steady = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n|dp:LiveClock", const_cast<char**>(names), &kinds, &delay,
                                     &steady)) {
        return nullptr;
    }
    if (kinds < 0 || kinds > 256) {
        PyErr_SetString(PyExc_ValueError, "kinds must be from 0 to 256");
        return nullptr;
    }
    if (!(delay >= 0 && delay < 1e6)) {
        PyErr_SetString(PyExc_ValueError, "delay must be from 0 to 1e6 seconds");
        return nullptr;
    }
    OwnedRef self = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ClockObject* clock = as_clock(self.get());
    new (&clock->busy) std::atomic<std::size_t>(0);
    clock->clock = new (std::nothrow)
        LiveClock(static_cast<std::size_t>(kinds), std::llround(delay * 1e9), steady != 0);
    if (clock->clock == nullptr) return PyErr_NoMemory();
    return self.release();
}

PyObject* clock_push(PyObject* self, PyObject* args) {
    PyObject *kind_arg, *time_arg, *skipped_arg, *end_arg = Py_None, *boot_arg = Py_None;
    if (!PyArg_ParseTuple(args, "OOO|OO:push", &kind_arg, &time_arg, &skipped_arg, &end_arg, &boot_arg)) return nullptr;
    HeldBuffer kind_buffer, time_buffer, skipped_buffer, end_buffer, boot_buffer;
    std::span<const std::uint8_t> kind;
    std::span<const std::int64_t> time;
    std::span<const std::uint32_t> skipped;
    std::span<const std::uint64_t> end;
    std::span<const std::int64_t> boot;
    const int flags = PyBUF_FORMAT | PyBUF_ND;
    if (!kind_buffer.take(kind_arg, flags) || !time_buffer.take(time_arg, flags) ||
        !skipped_buffer.take(skipped_arg, flags) || !kind_buffer.as_array("kind", kind) ||
        !time_buffer.as_array("time", time) || !skipped_buffer.as_array("skipped", skipped)) {
        return nullptr;
    }
    if (end_arg != Py_None && (!end_buffer.take(end_arg, flags) || !end_buffer.as_array("end", end))) return nullptr;
    if (boot_arg != Py_None && (!boot_buffer.take(boot_arg, flags) || !boot_buffer.as_array("boot", boot))) return nullptr;
    if (time.size() != kind.size() || skipped.size() != kind.size() || (end_arg != Py_None && end.size() != kind.size()) ||
        (boot_arg != Py_None && boot.size() != kind.size())) {
        PyErr_SetString(PyExc_ValueError, "kind, time, skipped, end and boot must have one length");
        return nullptr;
    }
    ClockObject* clock = as_clock(self);
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(clock);
        if (!using_it) return Unexpected(std::move(using_it).error());
        Result<void> pushed = brimlet::py::without_lock([&]() -> Result<void> {
            clock->clock->push(kind, time, skipped, end, boot);
            return {};
        });
        if (!pushed) return Unexpected(std::move(pushed).error());
        return ready_count(*clock->clock);
    });
}

PyObject* clock_settle(PyObject* self, PyObject* args) {
    PyObject* now_arg = Py_None;
    if (!PyArg_ParseTuple(args, "|O:settle", &now_arg)) return nullptr;
    std::optional<std::int64_t> now;
    if (now_arg != Py_None) {
        const long long value = PyLong_AsLongLong(now_arg);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        now = value;
    }
    ClockObject* clock = as_clock(self);
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(clock);
        if (!using_it) return Unexpected(std::move(using_it).error());
        Result<void> settled = brimlet::py::without_lock([&]() -> Result<void> {
            clock->clock->settle(now);
            return {};
        });
        if (!settled) return Unexpected(std::move(settled).error());
        return ready_count(*clock->clock);
    });
}

PyObject* clock_take(PyObject* self, PyObject*) {
    ClockObject* clock = as_clock(self);
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(clock);
        if (!using_it) return Unexpected(std::move(using_it).error());
        const std::size_t n = clock->clock->ready();
        const auto bytes = [](std::size_t size) {
            return brimlet::py::checked(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        };
        Result<OwnedRef> sample = bytes(n * sizeof(std::int64_t));
        if (!sample) return sample;
        Result<OwnedRef> missing = bytes(n * sizeof(std::uint16_t));
        if (!missing) return missing;
        clock->clock->take(std::span(reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(sample->get())), n),
                           std::span(reinterpret_cast<std::uint16_t*>(PyByteArray_AS_STRING(missing->get())), n));
        return brimlet::py::checked(PyTuple_Pack(2, sample->get(), missing->get()));
    });
}

PyObject* clock_first_held(PyObject* self, PyObject*) {
    ClockObject* clock = as_clock(self);
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(clock);
        if (!using_it) return Unexpected(std::move(using_it).error());
        const std::optional<std::int64_t> first = clock->clock->first_held();
        if (!first) return OwnedRef::new_ref(Py_None);
        return brimlet::py::checked(PyLong_FromLongLong(*first));
    });
}

PyObject* clock_stats(PyObject* self, PyObject* arg) {
    const Py_ssize_t code = PyLong_AsSsize_t(arg);
    if (code == -1 && PyErr_Occurred()) return nullptr;
    ClockObject* clock = as_clock(self);
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<Borrow> using_it = use(clock);
        if (!using_it) return Unexpected(std::move(using_it).error());
        if (code < 0 || code > 255) {
            PyErr_SetString(PyExc_ValueError, "a kind code is from 0 to 255");
            return Unexpected(brimlet::py::PythonError{});
        }
        const KindFit fit = clock->clock->stats(static_cast<std::size_t>(code));
        Result<OwnedRef> rate =
            fit.rate > 0 ? brimlet::py::checked(PyFloat_FromDouble(fit.rate)) : OwnedRef::new_ref(Py_None);
        if (!rate) return rate;
        return brimlet::py::checked(Py_BuildValue(
            "(KOKKKKO)", static_cast<unsigned long long>(fit.packets), rate->get(),
            static_cast<unsigned long long>(fit.gaps), static_cast<unsigned long long>(fit.missing),
            static_cast<unsigned long long>(fit.largest_gap), static_cast<unsigned long long>(fit.clock_steps),
            fit.phase_hidden ? Py_True : Py_False));
    });
}

void clock_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_clock(self)->clock;
    as_clock(self)->busy.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef clock_methods[] = {
    {"push", clock_push, METH_VARARGS,
     "push($self, kind, time, skipped, end=None, boot=None, /)\n--\n\n"
     "Takes a batch's columns; the number of rows given out and not yet taken."},
    {"settle", clock_settle, METH_VARARGS,
     "settle($self, now=None, /)\n--\n\n"
     "Gives out the rows held `delay` before `now` (ns), or all; the number not yet taken."},
    {"take", clock_take, METH_NOARGS,
     "take($self, /)\n--\n\nThe rows given out: (sample times as int64 ns, missing before as uint16), in bytes."},
    {"first_held", clock_first_held, METH_NOARGS,
     "first_held($self, /)\n--\n\nThe receive time of the first row held, or None."},
    {"stats", clock_stats, METH_O,
     "stats($self, code, /)\n--\n\n"
     "(packets, rate or None, gaps, missing, largest gap, clock steps, phase hidden) of kind `code`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot clock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(clock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(clock_dealloc)},
    {Py_tp_methods, clock_methods},
    {Py_tp_doc, const_cast<char*>("LiveClock(kinds, delay=0.5, steady=False)\n--\n\n"
                                  "The sample times of a live line's packets, each given out `delay` s after it came.")},
    {0, nullptr},
};

PyType_Spec clock_spec = {
    .name = "brimlet_columns.LiveClock",
    .basicsize = sizeof(ClockObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = clock_slots,
};

}  // namespace

PyObject* make_live_clock_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &clock_spec, nullptr); }

}  // namespace brimlet::columns::py
