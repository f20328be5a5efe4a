#include "typed_view.hpp"

#include <cstring>

namespace velliq {

namespace {

// Holds one buffer export for its whole life; the one view acquired with it
// owns the only reference.
struct ViewOwner {
    PyObject_HEAD Py_buffer buffer;
};

void view_owner_dealloc(PyObject* self) {
    auto* owner = reinterpret_cast<ViewOwner*>(self);
    PyBuffer_Release(&owner->buffer);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject view_owner_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "velliq.norvane.ViewOwner";
    type.tp_basicsize = sizeof(ViewOwner);
    type.tp_dealloc = view_owner_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return type;
}();

const char* type_name(ElementType type) {
    return type == ElementType::Double ? "double" : "int";
}

std::size_t type_size(ElementType type) {
    return type == ElementType::Double ? sizeof(double) : sizeof(int);
}

// How a refused format code is named in the dtype-mismatch message.
const char* describe_format(const char* code) {
    switch (code[0]) {
        case 'c':
            return "'char'";
        case 'b':
            return "'signed char'";
        case 'B':
            return "'unsigned char'";
        case '?':
            return "'bool'";
        case 'h':
            return "'short'";
        case 'H':
            return "'unsigned short'";
        case 'i':
            return "'int'";
        case 'I':
            return "'unsigned int'";
        case 'l':
            return "'long'";
        case 'L':
            return "'unsigned long'";
        case 'q':
            return "'long long'";
        case 'Q':
            return "'unsigned long long'";
        case 'n':
            return "'Py_ssize_t'";
        case 'N':
            return "'size_t'";
        case 'e':
            return "'half'";
        case 'f':
            return "'float'";
        case 'd':
            return "'double'";
        case 'g':
            return "'long double'";
        case 'Z':
            switch (code[1]) {
                case 'f':
                    return "'complex float'";
                case 'd':
                    return "'complex double'";
                case 'g':
                    return "'complex long double'";
                default:
                    return "unparseable format string";
            }
        case 'T':
            return "a struct";
        case 'O':
            return "Python object";
        case 'P':
            return "a pointer";
        case 's':
        case 'p':
            return "a string";
        case '\0':
            return "end";
        default:
            return "unparseable format string";
    }
}

// Accepts exactly one native-order element of `type`; sets ValueError otherwise.
bool check_format(const char* format, ElementType type) {
    if (!format) {
        format = "B";  // the buffer protocol's meaning of a missing format
    }
    const char prefix = format[0] != '\0' && std::strchr("@^=<>!", format[0]) ? format[0] : '\0';
    const char* code = prefix ? format + 1 : format;
    if (prefix == '>' || prefix == '!') {
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    const bool single = code[0] != '\0' && code[1] == '\0';
    const bool standard_size = prefix == '=' || prefix == '<';
    bool accepted;
    if (type == ElementType::Double) {
        accepted = single && code[0] == 'd';
    } else {
        accepted = single && (code[0] == 'i' || (code[0] == 'l' && standard_size));
    }
    if (!accepted) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                     type == ElementType::Double ? "'double'" : "'int'", "", "",
                     describe_format(code));
    }
    return accepted;
}

}  // namespace

TypedView::~TypedView() {
    release_view(this);
}

bool ready_view_types() {
    return PyType_Ready(&view_owner_type) == 0;
}

bool acquire_view(PyObject* obj, ElementType type, Access access, TypedView* view) {
    if (obj == Py_None) {
        view->owner = Py_None;
        view->data = nullptr;
        return true;
    }
    ViewOwner* owner = PyObject_New(ViewOwner, &view_owner_type);
    if (!owner) {
        return false;
    }
    // A failed request leaves buffer.obj null, so the owner's release is then a no-op.
    std::memset(&owner->buffer, 0, sizeof(owner->buffer));
    const int flags = access == Access::Writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(obj, &owner->buffer, flags) < 0) {
        Py_DECREF(owner);
        return false;
    }
    const Py_buffer& buffer = owner->buffer;
    bool valid = false;
    if (buffer.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, buffer.ndim);
    } else if (!check_format(buffer.format, type)) {
        // check_format set the error
    } else if (static_cast<std::size_t>(buffer.itemsize) != type_size(type)) {
        const std::size_t itemsize = static_cast<std::size_t>(buffer.itemsize);
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' "
                     "(%zu byte%s)",
                     itemsize, itemsize == 1 ? "" : "s", type_name(type), type_size(type),
                     type_size(type) == 1 ? "" : "s");
    } else {
        valid = true;
    }
    if (!valid) {
        Py_DECREF(owner);
        return false;
    }
    view->stride = buffer.strides ? buffer.strides[0] : buffer.itemsize;
    view->length = buffer.shape[0];
    view->data = static_cast<char*>(buffer.buf);
    view->owner = reinterpret_cast<PyObject*>(owner);
    return true;
}

void release_view(TypedView* view) {
    PyObject* owner = view->owner;
    view->owner = nullptr;
    view->data = nullptr;
    if (!owner || owner == Py_None) {
        return;
    }
    Py_DECREF(owner);
}

}  // namespace velliq
