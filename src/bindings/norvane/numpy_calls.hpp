// NumPy as the entry points use it: through the module global `np`, looked up
// afresh at every use, so a call sees whatever `np` is bound to.
#pragma once

#include <Python.h>

#include "common/pyref.hpp"
#include "common/typed_view.hpp"

namespace velliq {

// Interned attribute names, created once at start-up and never released.
struct NumpyNames {
    PyObject* np;
    PyObject* float64;
    PyObject* intc;
    PyObject* ascontiguousarray;
    PyObject* empty;
    PyObject* dtype_kwnames;  // ("dtype",)
};
inline NumpyNames numpy_names;

// Creates the names and records the module dictionary that holds `np`
// (borrowed: the module lives for the process). False with an exception set.
bool init_numpy_calls(PyObject* module_globals);

// np.<name>
PyRef numpy_attr(PyObject* name);

// np.<func>(obj, dtype=np.<dtype>)
PyRef numpy_call_with_dtype(PyObject* func, PyObject* obj, PyObject* dtype);

// np.empty(n, dtype=np.<dtype>) with a writable view of it, which must hold n
// elements (np.empty could have been replaced).
PyRef numpy_empty(Py_ssize_t n, PyObject* dtype, ElementType type, TypedView* view);

// np.ascontiguousarray(obj, dtype=np.float64) with a read-only view of it,
// which must hold at least n elements: the loops read n of each input.
PyRef float64_input(PyObject* obj, const char* name, Py_ssize_t n, TypedView* view);

}  // namespace velliq
