#include "traceback.hpp"

#include <frameobject.h>

#include "common/pyref.hpp"
#include "function_object.hpp"

namespace velliq {

namespace {

// File name carried by the traceback entries of the entry points.
constexpr const char* kSourcePath = "velliq/norvane";

// Puts a frame of `code` with `globals` on the traceback of the pending exception.
// A failure to build the frame must not replace the error being reported.
void add_entry(PyObject* code, PyObject* globals) {
    PyObject* raised = PyErr_GetRaisedException();  // owned until handed back
    PyRef frame = PyRef::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

// The code object of the entry "<module>.<name>" at `line`, made once per line
// and kept by the function: a new code object interns its names, and on an
// interpreter whose interned strings are mortal, names made and dropped on
// every error would keep adding to and deleting from the interned-string table.
PyRef code_at(NorvaneFunction* fn, int line) {
    PyRef key = PyRef::steal(PyLong_FromLong(line));
    if (!key) {
        return PyRef();
    }
    if (PyObject* cached = PyDict_GetItemWithError(fn->codes, key.get())) {
        return PyRef::incref(cached);
    }
    if (PyErr_Occurred()) {
        return PyRef();
    }
    PyRef qualname = PyRef::steal(PyUnicode_FromFormat("%U.%U", fn->module, fn->name));
    const char* funcname = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    PyRef code = funcname ? PyRef::steal(reinterpret_cast<PyObject*>(
                                PyCode_NewEmpty(kSourcePath, funcname, line)))
                          : PyRef();
    if (!code || PyDict_SetItem(fn->codes, key.get(), code.get()) < 0) {
        return PyRef();
    }
    return code;
}

}  // namespace

void add_traceback(const char* funcname, int line, PyObject* globals) {
    PyObject* raised = PyErr_GetRaisedException();
    PyRef code =
        PyRef::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourcePath, funcname, line)));
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (code) {
        add_entry(code.get(), globals);
    }
}

PyObject* raise_from(PyObject* self, int line) {
    NorvaneFunction* fn = reinterpret_cast<NorvaneFunction*>(self);
    PyObject* raised = PyErr_GetRaisedException();
    PyRef code = code_at(fn, line);
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (code) {
        add_entry(code.get(), fn->globals);
    }
    return nullptr;
}

}  // namespace velliq
