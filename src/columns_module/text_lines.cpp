// brimlet_columns.text_lines: the binding of column_text. It reads the
// columns through the buffer protocol (numpy arrays, array.array, the
// Column objects of decode) and writes the lines with the interpreter lock
// released.

#include "columns_module/text_lines.hpp"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columns_module/held_buffer.hpp"
#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "protocol/packet_schema.hpp"
#include "text/column_text.hpp"

namespace brimlet::columns::py {

namespace {

using brimlet::py::OwnedRef;
using brimlet::py::Result;

constexpr std::size_t kLeading = 4;  // time, kind, invalid, present

// The buffers of `sequence` held in `held`, read into `view`; false with an
// exception set.
bool read_columns(PyObject* sequence, std::unique_ptr<HeldBuffer[]>& held, std::vector<const float*>& data,
                  ColumnsView& view) {
    const std::size_t count = kLeading + kDataColumns.size();
    OwnedRef items = OwnedRef::steal(PySequence_Fast(sequence, "columns must be a sequence of arrays"));
    if (!items) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())) != count) {
        PyErr_Format(PyExc_ValueError, "columns must hold %zu arrays: time, kind, invalid, present and the data columns",
                     count);
        return false;
    }
    held = std::make_unique<HeldBuffer[]>(count);
    std::vector<std::size_t> lengths(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string what = "columns[" + std::to_string(i) + "]";
        HeldBuffer& buffer = held[i];
        if (!buffer.take(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), PyBUF_FORMAT | PyBUF_ND)) {
            return false;
        }
        bool ok = true;
        const auto read = [&]<class T>(const T*& out) {
            std::span<const T> span;
            ok = buffer.as_array(what.c_str(), span);
            out = span.data();
            lengths[i] = span.size();
        };
        if (i == 0) read(view.time);
        else if (i == 1) read(view.kind);
        else if (i == 2) read(view.invalid);
        else if (i == 3) read(view.present);
        else read(data[i - kLeading]);
        if (!ok) return false;
    }
    for (std::size_t n : lengths) {
        if (n != lengths[0]) {
            PyErr_SetString(PyExc_ValueError, "the columns must all have the same length");
            return false;
        }
    }
    view.size = lengths[0];
    view.data = data;
    return true;
}

// The texts of the str items of `sequence`, `count` of them, in `out` (views
// into the items, which `items` keeps); false with an exception set.
bool read_keys(PyObject* sequence, std::size_t count, OwnedRef& items, std::vector<std::string_view>& out) {
    items = OwnedRef::steal(PySequence_Fast(sequence, "keys must be a sequence of str"));
    if (!items) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())) != count) {
        PyErr_Format(PyExc_ValueError, "keys must hold %zu names: packet type, time, flagged fields and every field",
                     count);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)),
                                                   &size);
        if (text == nullptr) return false;
        const std::string_view key(text, static_cast<std::size_t>(size));
        for (unsigned char c : key) {
            if (c < 0x20 || c == '"' || c == '\\') {
                PyErr_SetString(PyExc_ValueError, "a key must hold no quote, backslash or control character");
                return false;
            }
        }
        out.push_back(key);
    }
    return true;
}

bool read_format(PyObject* object, TextFormat& format) {
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (text != nullptr && std::string_view(text) == "csv") {
        format = TextFormat::csv;
    } else if (text != nullptr && std::string_view(text) == "jsonl") {
        format = TextFormat::jsonl;
    } else if (text != nullptr && std::string_view(text) == "text") {
        format = TextFormat::packet;
    } else {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "format must be 'csv', 'jsonl' or 'text'");
        return false;
    }
    return true;
}

const char* error_text(TextError error) {
    switch (error) {
        case TextError::unknown_kind:
            return "the kind column holds a code with no packet type";
        case TextError::unknown_invalid:
            return "the invalid column holds a bit with no validity name";
    }
    return "the columns cannot be written";
}

}  // namespace

PyObject* text_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "text_lines() takes 2 or 3 positional arguments: format, columns, keys");
        return nullptr;
    }
    TextFormat format;
    if (!read_format(args[0], format)) return nullptr;
    std::unique_ptr<HeldBuffer[]> held;
    std::vector<const float*> data(kDataColumns.size());
    ColumnsView view;
    if (!read_columns(args[1], held, data, view)) return nullptr;
    PyObject* key_sequence = nargs > 2 ? args[2] : Py_None;
    OwnedRef key_items;
    std::vector<std::string_view> keys;
    if (format == TextFormat::jsonl) {
        if (key_sequence == Py_None) {
            PyErr_SetString(PyExc_TypeError, "text_lines() needs the keys of JSON lines");
            return nullptr;
        }
        if (!read_keys(key_sequence, 3 + schema::kFieldCount, key_items, keys)) return nullptr;
    }
    const JsonKeys json{std::span(keys).first(keys.empty() ? 0 : 3), std::span(keys).subspan(keys.empty() ? 0 : 3)};
    return brimlet::py::boundary([&]() -> Result<OwnedRef> {
        Result<std::string> text = brimlet::py::without_lock([&]() -> Result<std::string> {
            Expected<std::string, TextError> written = column_text(view, format, json);
            if (!written) return Unexpected(brimlet::py::IoFailure{error_text(written.error()), PyExc_ValueError});
            return std::move(*written);
        });
        if (!text) return Unexpected(std::move(text).error());
        return brimlet::py::checked(PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
    });
}

}  // namespace brimlet::columns::py
