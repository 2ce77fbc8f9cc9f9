// brimlet_columns: whole recordings decoded into columns, beside the brimlet
// module and built from the same protocol core. A multi-phase module whose
// state holds its Column type, so every interpreter has its own.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "columns/column_table.hpp"
#include "columns_module/column_object.hpp"
#include "columns_module/held_buffer.hpp"
#include "columns_module/capture_object.hpp"
#include "columns_module/live_clock_object.hpp"
#include "columns_module/live_source.hpp"
#include "columns_module/sample_times.hpp"
#include "columns_module/text_lines.hpp"
#include "lib/boundary.hpp"
#include "timing/sample_time_fit.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::py::boundary;
using brimlet::py::checked;
using brimlet::py::ErrnoFailure;
using brimlet::py::Failure;
using brimlet::py::IoFailure;
using brimlet::py::OutOfMemory;
using brimlet::py::Result;
using brimlet::py::without_lock;

struct ModuleState {
    PyTypeObject* column_type;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }


// New reference to the dict of what the scan of `bytes` bytes passed over;
// nullptr with an exception set.
PyObject* totals_dict(const ScanTotals& scan, std::size_t bytes) {
    return Py_BuildValue("{sKsKsKsKsK}", "bytes", static_cast<unsigned long long>(bytes), "outside",
                         static_cast<unsigned long long>(scan.outside), "unfinished",
                         static_cast<unsigned long long>(scan.unfinished), "bad_checksums",
                         static_cast<unsigned long long>(scan.bad_checksums), "other_frames",
                         static_cast<unsigned long long>(scan.other_frames));
}

// The reads that `ends` and `times` describe, held by `end_buffer` and
// `time_buffer`; false with an exception set. Both None: no reads.
bool take_reads(const char* function, PyObject* ends, PyObject* times, HeldBuffer& end_buffer,
                HeldBuffer& time_buffer, ReadTimes& reads) {
    if ((ends == Py_None) != (times == Py_None)) {
        PyErr_Format(PyExc_TypeError, "%s() needs both ends and times, or neither", function);
        return false;
    }
    if (ends == Py_None) return true;
    if (!end_buffer.take(ends, PyBUF_FORMAT | PyBUF_ND) || !time_buffer.take(times, PyBUF_FORMAT | PyBUF_ND) ||
        !end_buffer.as_array("ends", reads.ends) || !time_buffer.as_array("times", reads.times)) {
        return false;
    }
    if (reads.ends.size() != reads.times.size()) {
        PyErr_SetString(PyExc_ValueError, "ends and times must have the same length");
        return false;
    }
    return true;
}

// The failure of a decode of `length` bytes.
Failure decode_failure(const DecodeError& error, std::uint64_t length) {
    switch (error.kind) {
        case DecodeError::Kind::read_failed: return ErrnoFailure{error.error_number};
        case DecodeError::Kind::ended_early:
            return IoFailure{"the file ended after " + std::to_string(error.bytes) + " of its " +
                                 std::to_string(length) + " bytes",
                             PyExc_EOFError};
        case DecodeError::Kind::out_of_memory: break;
    }
    return OutOfMemory{};
}

// Runs `decode()` of `length` bytes without the interpreter lock; a new
// reference to the tuple of the dict of its columns and the dict of its scan
// totals, or nullptr with the exception for its failure set.
template <class Decode>
PyObject* decoded_columns(PyObject* module, std::uint64_t length, Decode decode) {
    return boundary([&]() -> Result<OwnedRef> {
        Result<ColumnTable> table = without_lock([&]() -> Result<ColumnTable> {
            Expected<ColumnTable, DecodeError> decoded = decode();
            if (!decoded) return Unexpected(decode_failure(decoded.error(), length));
            return std::move(*decoded);
        });
        if (!table) return Unexpected(std::move(table).error());
        Result<OwnedRef> columns = checked(columns_dict(state_of(module)->column_type, *table));
        if (!columns) return columns;
        Result<OwnedRef> totals = checked(totals_dict(table->scan, length));
        if (!totals) return totals;
        return checked(PyTuple_Pack(2, columns->get(), totals->get()));
    });
}

// decode(data, ends=None, times=None, /): see the stub.
PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "decode() takes 1 to 3 positional arguments: data, ends, times");
        return nullptr;
    }
    HeldBuffer stream, end_buffer, time_buffer;
    ReadTimes reads;
    if (!take_reads("decode", nargs > 1 ? args[1] : Py_None, nargs > 2 ? args[2] : Py_None, end_buffer,
                    time_buffer, reads) ||
        !stream.take(args[0], PyBUF_SIMPLE)) {
        return nullptr;
    }
    const std::span bytes(static_cast<const std::uint8_t*>(stream.view().buf),
                          static_cast<std::size_t>(stream.view().len));
    return decoded_columns(module, bytes.size(), [&] { return decode_columns(bytes, reads); });
}

// decode_file(fd, length, ends=None, times=None, /): see the stub.
PyObject* decode_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "decode_file() takes 2 to 4 positional arguments: fd, length, ends, times");
        return nullptr;
    }
    const int fd = PyObject_AsFileDescriptor(args[0]);
    if (fd < 0) return nullptr;
    const unsigned long long length = PyLong_AsUnsignedLongLong(args[1]);
    if (length == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    HeldBuffer end_buffer, time_buffer;
    ReadTimes reads;
    if (!take_reads("decode_file", nargs > 2 ? args[2] : Py_None, nargs > 3 ? args[3] : Py_None, end_buffer,
                    time_buffer, reads)) {
        return nullptr;
    }
    return decoded_columns(module, length, [&] { return decode_file_columns(fd, length, reads); });
}

// New reference to a tuple of the texts in `names`; nullptr with an exception set.
template <class Names, class Text>
PyObject* name_tuple(const Names& names, Text text) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(names))));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& name : names) {
        const std::string value = text(name);
        PyObject* item = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple.release();
}

int exec_module(PyObject* module) {
    PyObject* type = make_column_type(module);
    if (type == nullptr) return -1;
    state_of(module)->column_type = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(module, "Column", type) < 0) return -1;
    if (PyModule_Add(module, "LiveSource", make_live_source_type(module)) < 0) return -1;
    if (PyModule_Add(module, "Capture", make_capture_type(module)) < 0) return -1;
    if (PyModule_Add(module, "LiveClock", make_live_clock_type(module)) < 0) return -1;
    const auto text = [](std::string_view s) { return std::string(s); };
    if (PyModule_Add(module, "DATA_COLUMNS", name_tuple(kDataColumns, column_name)) < 0) return -1;
    if (PyModule_Add(module, "VALIDITY_NAMES", name_tuple(schema::kValidityNames, text)) < 0) return -1;
    if (PyModule_Add(module, "CLOCK_STEP_NS", PyLong_FromLongLong(kClockJumpNs)) < 0) return -1;
    return PyModule_Add(module, "PACKET_TYPES", name_tuple(schema::kKindNames, text));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module)->column_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state_of(module)->column_type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL,
     "decode(data, ends=None, times=None, /)\n--\n\n"
     "Decodes the raw stream in the buffer `data` into a dict of Column objects and a dict of scan totals."},
    {"decode_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_file)), METH_FASTCALL,
     "decode_file(fd, length, ends=None, times=None, /)\n--\n\n"
     "As decode, of the first `length` bytes of the file open at `fd`, read without mapping it."},
    {"sample_times", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_times)), METH_FASTCALL,
     "sample_times(kind, time, skipped, end, kinds, received, sample, missing, steady=False, /)\n--\n\n"
     "Fits the sample times of a recording's packets per kind, into `sample` and `missing`."},
    {"text_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(text_lines)), METH_FASTCALL,
     "text_lines(format, columns, keys=None, /)\n--\n\n"
     "The rows of `columns` as CSV or JSON lines, in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "brimlet_columns",
    .m_doc = "Whole recordings of the brimlet stream decoded into columns; see brimlet_tools.recording.",
    .m_size = sizeof(ModuleState),
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

}  // namespace brimlet::columns::py

PyMODINIT_FUNC PyInit_brimlet_columns() { return PyModuleDef_Init(&brimlet::columns::py::module_def); }
