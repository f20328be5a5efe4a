// One-dimensional typed views of buffers: a raw element address, a length and
// a byte stride, obtained once through the buffer protocol and checked against
// the element type, so that loops can read and write elements without the
// interpreter lock. Views are acquired and released with the lock held; the
// buffer stays exported, and its memory in place, until its view is released.
#pragma once

#include <Python.h>

#include <cstdint>

#include "unaligned.hpp"

namespace velliq {

enum class ElementType { Double, Int };

// Inputs are only read, so they are requested read-only and a read-only array
// (a pandas column, say) is used in place; outputs are requested writable.
enum class Access { ReadOnly, Writable };

struct TypedView {
    PyObject* owner = nullptr;  // the ViewOwner; null when empty; None when taken from None
    char* data = nullptr;       // element 0
    std::int64_t length = 0;
    std::int64_t stride = 0;  // in bytes, as the buffer reports it (zero and negative too)

    TypedView() = default;
    TypedView(const TypedView&) = delete;
    TypedView& operator=(const TypedView&) = delete;
    ~TypedView();

    // Element i, read or written as a T.
    template <class T>
    T get(std::int64_t i) const {
        return load<T>(data + i * stride);
    }
    template <class T>
    void set(std::int64_t i, T value) const {
        store(data + i * stride, value);
    }
};

// Fills the empty `view` from `obj`. Returns false with an exception set, the
// view left empty, when `obj` exports no one-dimensional buffer of the element
// type with the access asked for. A view never writes through a buffer it
// acquired read-only.
bool acquire_view(PyObject* obj, ElementType type, Access access, TypedView* view);

// Gives the view back and leaves it empty; releasing an empty view does nothing.
void release_view(TypedView* view);

bool ready_view_types();

}  // namespace velliq
