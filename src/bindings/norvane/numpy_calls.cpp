#include "numpy_calls.hpp"

namespace velliq {

namespace {

PyObject* module_globals = nullptr;  // borrowed

// Start-up may run again after a failed import: names already interned are kept, not leaked.
bool intern(PyObject** slot, const char* text) {
    return *slot != nullptr || (*slot = PyUnicode_InternFromString(text)) != nullptr;
}

}  // namespace

bool init_numpy_calls(PyObject* globals) {
    module_globals = globals;
    NumpyNames& n = numpy_names;
    if (!intern(&n.np, "np") || !intern(&n.float64, "float64") || !intern(&n.intc, "intc") ||
        !intern(&n.ascontiguousarray, "ascontiguousarray") || !intern(&n.empty, "empty")) {
        return false;
    }
    if (n.dtype_kwnames != nullptr) {
        return true;
    }
    PyRef dtype = PyRef::steal(PyUnicode_InternFromString("dtype"));
    n.dtype_kwnames = dtype ? PyTuple_Pack(1, dtype.get()) : nullptr;
    return n.dtype_kwnames != nullptr;
}

PyRef numpy_attr(PyObject* name) {
    // Held while its attribute is looked up, which could run code that rebinds `np`.
    PyRef np = PyRef::incref(PyDict_GetItemWithError(module_globals, numpy_names.np));
    if (!np) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", numpy_names.np);
        }
        return PyRef();
    }
    return PyRef::steal(PyObject_GetAttr(np.get(), name));
}

PyRef numpy_call_with_dtype(PyObject* func_name, PyObject* obj, PyObject* dtype_name) {
    PyRef func = numpy_attr(func_name);
    PyRef dtype = func ? numpy_attr(dtype_name) : PyRef();
    if (!func || !dtype) {
        return PyRef();
    }
    PyObject* argv[] = {obj, dtype.get()};
    return PyRef::steal(PyObject_Vectorcall(func.get(), argv, 1, numpy_names.dtype_kwnames));
}

PyRef numpy_empty(Py_ssize_t n, PyObject* dtype, ElementType type, TypedView* view) {
    PyRef n_obj = PyRef::steal(PyLong_FromSsize_t(n));
    PyRef array = n_obj ? numpy_call_with_dtype(numpy_names.empty, n_obj.get(), dtype) : PyRef();
    if (!array || !acquire_view(array.get(), type, Access::Writable, view)) {
        return PyRef();
    }
    if (view->length < n) {
        PyErr_Format(PyExc_ValueError, "np.empty(%zd) returned %lld elements", n,
                     static_cast<long long>(view->length));
        return PyRef();
    }
    return array;
}

PyRef float64_input(PyObject* obj, const char* name, Py_ssize_t n, TypedView* view) {
    PyRef array = numpy_call_with_dtype(numpy_names.ascontiguousarray, obj, numpy_names.float64);
    if (!array || !acquire_view(array.get(), ElementType::Double, Access::ReadOnly, view)) {
        return PyRef();
    }
    if (view->length < n) {
        PyErr_Format(PyExc_ValueError, "%s holds %lld elements, fewer than len(prices) = %zd", name,
                     static_cast<long long>(view->length), n);
        return PyRef();
    }
    return array;
}

}  // namespace velliq
