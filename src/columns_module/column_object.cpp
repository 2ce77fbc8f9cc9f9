// brimlet_columns.Column: one decoded column, handed to Python through the
// buffer protocol. The object owns the array the decoder filled (from malloc)
// and frees it when the last view of it is gone; numpy.frombuffer and
// memoryview see that very memory, so nothing is copied.

#include "columns_module/column_object.hpp"

#include <cstdlib>
#include <string>

namespace brimlet::columns::py {

namespace {

struct ColumnObject {
    PyObject_HEAD
    void* data;
    Py_ssize_t count;
    Py_ssize_t itemsize;
    const char* format;  // a struct-module code, static
};

ColumnObject* as_column(PyObject* self) { return reinterpret_cast<ColumnObject*>(self); }

// A one-dimensional, writable, contiguous view of the whole array.
int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ColumnObject* column = as_column(self);
    view->obj = Py_NewRef(self);
    view->buf = column->data;
    view->len = column->count * column->itemsize;
    view->readonly = 0;
    view->itemsize = column->itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(column->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &column->count : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

Py_ssize_t column_length(PyObject* self) { return as_column(self)->count; }

PyObject* column_repr(PyObject* self) {
    ColumnObject* column = as_column(self);
    return PyUnicode_FromFormat("<brimlet_columns.Column of %zd '%s'>", column->count, column->format);
}

void column_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(as_column(self)->data);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot column_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_doc, const_cast<char*>("One decoded column of a recording; read it through the buffer protocol.")},
    {0, nullptr},
};

PyType_Spec column_spec = {
    .name = "brimlet_columns.Column",
    .basicsize = sizeof(ColumnObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = column_slots,
};

}  // namespace

// `scaled_accel_x`, `est_pressure_alt`, ...
std::string column_name(const DataColumn& column) {
    std::string name(column.field);
    if (!column.suffix.empty()) name.append("_").append(column.suffix);
    return name;
}

namespace {

template <class T>
bool set_column(PyObject* dict, PyTypeObject* type, const char* name, Column<T>& column, std::size_t count,
                const char* format) {
    OwnedRef object = new_column(type, column.release(), count, sizeof(T), format);
    return object && PyDict_SetItemString(dict, name, object.get()) == 0;
}

}  // namespace

PyObject* columns_dict(PyTypeObject* type, ColumnTable& table, bool ends) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::size_t n = table.size;
    if (!set_column(dict.get(), type, "time", table.time, n, "q") ||
        !set_column(dict.get(), type, "kind", table.kind, n, "B") ||
        !set_column(dict.get(), type, "invalid", table.invalid, n, "H") ||
        !set_column(dict.get(), type, "present", table.present, n, "H") ||
        !set_column(dict.get(), type, "skipped", table.skipped, n, "I")) {
        return nullptr;
    }
    if (ends && !set_column(dict.get(), type, "end", table.end, n, "Q")) return nullptr;
    for (std::size_t c = 0; c < kDataColumns.size(); ++c) {
        const std::string name = column_name(kDataColumns[c]);
        if (!set_column(dict.get(), type, name.c_str(), table.data[c], n, "f")) return nullptr;
    }
    return dict.release();
}

PyObject* make_column_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &column_spec, nullptr); }

OwnedRef new_column(PyTypeObject* type, void* data, std::size_t count, std::size_t itemsize, const char* format) {
    ColumnObject* column = PyObject_New(ColumnObject, type);
    if (column == nullptr) {
        std::free(data);
        return {};
    }
    column->data = data;
    column->count = static_cast<Py_ssize_t>(count);
    column->itemsize = static_cast<Py_ssize_t>(itemsize);
    column->format = format;
    return OwnedRef::steal(reinterpret_cast<PyObject*>(column));
}

}  // namespace brimlet::columns::py
