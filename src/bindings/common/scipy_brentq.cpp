#include "scipy_brentq.hpp"

#include "pyref.hpp"
#include "shared/brentq.hpp"

namespace velliq {

bool bind_brentq() {
    static constexpr const char* signature =
        "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, "
        "double, void *, double, double, int, "
        "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";
    PyRef zeros = PyRef::steal(PyImport_ImportModule("scipy.optimize.cython_optimize._zeros"));
    PyRef capi =
        zeros ? PyRef::steal(PyObject_GetAttrString(zeros.get(), "__pyx_capi__")) : PyRef();
    if (!capi) {
        return false;
    }
    const char* zeros_name = PyModule_GetName(zeros.get());
    if (!zeros_name) {
        return false;
    }
    PyObject* capsule = PyDict_Check(capi.get())
                            ? PyDict_GetItemString(capi.get(), "brentq")  // borrowed
                            : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", zeros_name,
                     "function", "brentq");
        return false;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got =
            PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", zeros_name, "brentq", signature, got ? got : "NULL");
        return false;
    }
    brentq = reinterpret_cast<brentq_t>(PyCapsule_GetPointer(capsule, signature));
    return brentq != nullptr;
}

}  // namespace velliq
