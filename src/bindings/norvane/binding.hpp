// The argument rules shared by every entry point of velliq.norvane: binding
// positional and keyword arguments to parameters, converting numbers to
// doubles, and mapping an option flag to the integer side of the kernels.
// Each returns false with a Python exception set when the call must fail.
#pragma once

#include <Python.h>

namespace velliq {

inline constexpr int kMaxParams = 6;

struct Signature {
    const char* name;  // plain function name, as binding messages show it
    int required;      // the first `required` parameters have no default
    int total;
    PyObject* const* names;  // `total` interned parameter names, borrowed
};

// Fills bound[0 .. total-1] with borrowed references to the arguments, or
// null for an optional parameter left unbound.
bool bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** bound);

// Exact floats are read directly; everything else through PyFloat_AsDouble,
// so -1.0 is only a failure when an exception is pending.
inline bool as_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    *out = value;
    return true;
}

// side = 1 when flag == "c" under Python equality, -1 otherwise. Exceptions from
// the comparison or from the truth test of its result propagate.
bool flag_side(PyObject* flag, int* side);

// Creates the interned "c" that flags are compared with; false on failure.
bool init_flag_rule();

// Content equality of two exact str objects, never failing.
bool exact_str_equal(PyObject* a, PyObject* b);

}  // namespace velliq
