#include "startup.hpp"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdio>

#include "common/pyref.hpp"

namespace velliq {

namespace {

std::int64_t recorded_interpreter = -1;

// Copies spec.<attr> into the module dictionary under `key`; a missing
// attribute is skipped, and None is stored only when `allow_none`.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                    bool allow_none) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (!allow_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* module_create(PyObject* spec, PyModuleDef*, PyObject* existing) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
    } else if (current != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (existing) {
        return Py_NewRef(existing);
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    PyRef module = name ? PyRef::steal(PyModule_NewObject(name.get())) : PyRef();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool warn_on_version_mismatch() {
    const unsigned long runtime = Py_Version >> 16;
    const unsigned long compiled = (PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION;
    if (runtime == compiled) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                  static_cast<int>(runtime >> 8), static_cast<int>(runtime & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool import_numpy_c_api() {
    if (_import_array() == 0) {
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        PyObject* replacement = PyErr_GetRaisedException();
        PyException_SetContext(replacement, cause);  // steals `cause`
        PyErr_SetRaisedException(replacement);
    }
    return false;
}

}  // namespace velliq
