// brimlet_columns.sample_times: the binding of sample_time_fit. It reads the
// decoder's columns through the buffer protocol, fits with the interpreter
// lock released and writes into the caller's arrays.

#include "columns_module/sample_times.hpp"

#include <utility>
#include <vector>

#include "columns_module/held_buffer.hpp"
#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "timing/sample_time_fit.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::py::OwnedRef;
using brimlet::py::Result;

// The writable array of T that `object` is, held by `held`; false with an
// exception set.
template <class T>
bool take_output(PyObject* object, const char* what, HeldBuffer& held, std::span<T>& out) {
    std::span<const T> view;
    if (!held.take(object, PyBUF_FORMAT | PyBUF_ND | PyBUF_WRITABLE) || !held.as_array(what, view)) return false;
    out = std::span(const_cast<T*>(view.data()), view.size());
    return true;
}

// New reference to (packets, rate or None, gaps, missing, largest gap, clock
// steps, phase hidden); nullptr with an exception set.
PyObject* fit_tuple(const KindFit& fit) {
    OwnedRef rate = OwnedRef::steal(fit.rate > 0 ? PyFloat_FromDouble(fit.rate) : Py_NewRef(Py_None));
    if (!rate) return nullptr;
    return Py_BuildValue("(KOKKKKO)", static_cast<unsigned long long>(fit.packets), rate.get(),
                         static_cast<unsigned long long>(fit.gaps), static_cast<unsigned long long>(fit.missing),
                         static_cast<unsigned long long>(fit.largest_gap),
                         static_cast<unsigned long long>(fit.clock_steps), fit.phase_hidden ? Py_True : Py_False);
}

}  // namespace

PyObject* sample_times(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8 && nargs != 9) {
        PyErr_SetString(PyExc_TypeError, "sample_times() takes 8 or 9 positional arguments: kind, time, skipped, "
                                         "end, kinds, received, sample, missing[, steady]");
        return nullptr;
    }
    const int steady = nargs == 9 ? PyObject_IsTrue(args[8]) : 0;
    if (steady < 0) return nullptr;
    const Py_ssize_t kinds = PyLong_AsSsize_t(args[4]);
    if (kinds == -1 && PyErr_Occurred()) return nullptr;
    const int received = PyObject_IsTrue(args[5]);
    if (received < 0) return nullptr;
    if (kinds < 0 || kinds > 256) {
        PyErr_SetString(PyExc_ValueError, "kinds must be from 0 to 256");
        return nullptr;
    }
    HeldBuffer kind, time, skipped, end, sample_buffer, missing_buffer;
    PacketTimes packets;
    std::span<std::int64_t> sample;
    std::span<std::uint16_t> missing;
    const int flags = PyBUF_FORMAT | PyBUF_ND;
    if (!kind.take(args[0], flags) || !time.take(args[1], flags) || !skipped.take(args[2], flags) ||
        !end.take(args[3], flags) || !kind.as_array("kind", packets.kind) || !time.as_array("time", packets.time) ||
        !skipped.as_array("skipped", packets.skipped) || !end.as_array("end", packets.end) ||
        !take_output(args[6], "sample", sample_buffer, sample) ||
        !take_output(args[7], "missing", missing_buffer, missing)) {
        return nullptr;
    }
    const std::size_t n = packets.kind.size();
    if (packets.time.size() != n || packets.skipped.size() != n || packets.end.size() != n || sample.size() != n ||
        missing.size() != n) {
        PyErr_SetString(PyExc_ValueError, "kind, time, skipped, end, sample and missing must have one length");
        return nullptr;
    }
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<std::vector<KindFit>> fits = brimlet::py::without_lock([&]() -> Result<std::vector<KindFit>> {
            return columns::sample_times(packets, static_cast<std::size_t>(kinds), received != 0, sample, missing,
                                         steady != 0);
        });
        if (!fits) return Unexpected(std::move(fits).error());
        Result<OwnedRef> out = brimlet::py::checked(PyTuple_New(kinds));
        if (!out) return out;
        for (Py_ssize_t c = 0; c < kinds; ++c) {
            PyObject* item = fit_tuple((*fits)[static_cast<std::size_t>(c)]);
            if (item == nullptr) return Unexpected(brimlet::py::PythonError{});
            PyTuple_SET_ITEM(out->get(), c, item);
        }
        return out;
    });
}

}  // namespace brimlet::columns::py
