#pragma once
// Ownership of interpreter references.
//
// An OwnedRef holds exactly one strong reference, or nothing. It is made with
// OwnedRef::steal(p) from a function that returns a new reference, or with
// OwnedRef::new_ref(p) from a borrowed one (which adds a reference). It drops
// its reference when it goes out of scope; release() hands the reference to the
// caller (for returning to the interpreter). Borrowed pointers are passed around
// as plain PyObject* parameters and never stored in an OwnedRef without new_ref.

#include <Python.h>

#include <utility>

namespace brimlet::py {

class OwnedRef {
public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject* p) { return OwnedRef(p); }
    static OwnedRef new_ref(PyObject* p) {
        Py_XINCREF(p);
        return OwnedRef(p);
    }
    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit OwnedRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace brimlet::py
