// An owned reference to a Python object, released when it goes out of scope.
// Construct through PyRef::steal (takes over a reference the caller owns, e.g.
// the result of a C API call returning a new reference) or PyRef::incref
// (takes a new reference to a borrowed object). A null PyRef is the usual
// "an exception is set" signal of the calls it wraps.
#pragma once

#include <Python.h>

#include <utility>

namespace velliq {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef incref(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace velliq
