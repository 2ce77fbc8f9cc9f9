#pragma once
// A buffer view held for as long as a HeldBuffer lives, and read as a
// one-dimensional array of a given item type.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

namespace brimlet::columns::py {

// The struct-module codes that an array of T may carry (after an optional
// native or little-endian byte-order mark), and how an error names T.
template <class T>
struct ItemType;
template <>
struct ItemType<std::int64_t> {
    static constexpr std::string_view codes = "ql";
    static constexpr const char* name = "signed 64-bit integers";
};
template <>
struct ItemType<std::uint64_t> {
    static constexpr std::string_view codes = "QL";
    static constexpr const char* name = "unsigned 64-bit integers";
};
template <>
struct ItemType<std::uint32_t> {
    static constexpr std::string_view codes = "IL";
    static constexpr const char* name = "unsigned 32-bit integers";
};
template <>
struct ItemType<std::uint8_t> {
    static constexpr std::string_view codes = "B";
    static constexpr const char* name = "unsigned 8-bit integers";
};
template <>
struct ItemType<std::uint16_t> {
    static constexpr std::string_view codes = "H";
    static constexpr const char* name = "unsigned 16-bit integers";
};
template <>
struct ItemType<float> {
    static constexpr std::string_view codes = "f";
    static constexpr const char* name = "single-precision floats";
};

class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes a contiguous view of `object`; false with an exception set.
    bool take(PyObject* object, int flags) {
        held_ = PyObject_GetBuffer(object, &view_, flags | PyBUF_C_CONTIGUOUS) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

    // The view (taken with PyBUF_FORMAT | PyBUF_ND) as an array of T; false
    // with a ValueError naming `what` when it is something else.
    template <class T>
    bool as_array(const char* what, std::span<const T>& out) const {
        std::string_view format = view_.format ? view_.format : "B";
        if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
        const bool fits = format.size() == 1 && ItemType<T>::codes.find(format[0]) != std::string_view::npos;
        if (view_.ndim != 1 || view_.itemsize != sizeof(T) || !fits) {
            PyErr_Format(PyExc_ValueError, "%s must be a one-dimensional array of %s", what, ItemType<T>::name);
            return false;
        }
        out = std::span(static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T));
        return true;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace brimlet::columns::py
