// velliq._ufuncs: the pricing kernels as NumPy ufuncs, so that NumPy
// broadcasts, casts, honours out= and where=, and runs the loops without the
// GIL. What it registers is the list of registry.hpp (each model at each
// setting, and the model-free ufuncs); the package's Python modules give them
// their public names.
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <algorithm>

#include "common/parallel_for.hpp"
#include "common/pyref.hpp"
#include "common/scipy_brentq.hpp"
#include "ufuncs/registry.hpp"

namespace velliq {
namespace {

constexpr auto kUfuncs = join(kModelUfuncs, kModelFree);
static_assert(std::all_of(kUfuncs.begin(), kUfuncs.end(),
                          [](const UfuncDef& def) { return def.nin + def.nout <= kMaxArgs; }));

// NumPy keeps pointers to these for the life of the ufuncs.
PyUFuncGenericFunction loops[std::size(kUfuncs)];
void* loop_data[std::size(kUfuncs)] = {};
char loop_types[std::size(kUfuncs)][kMaxArgs];

// NumPy asks a ufunc's type resolver only when no loop takes the operands'
// dtypes as they are, so booleans for is_call never reach this one. Any other
// is_call (labels, +/-1, floats, objects) is refused by name here, where NumPy
// would say only that no loop matches; the rest NumPy resolves as before.
int refuse_non_boolean_is_call(PyUFuncObject* ufunc, NPY_CASTING casting, PyArrayObject** operands,
                               PyObject* type_tup, PyArray_Descr** out_dtypes) {
    const int is_call_operand = ufunc->nin - 1;
    PyArray_Descr* given = PyArray_DESCR(operands[is_call_operand]);
    if (ufunc->types[is_call_operand] == NPY_BOOL && given->type_num != NPY_BOOL) {
        PyErr_Format(PyExc_TypeError,
                     "is_call must be booleans (True for a call), not %S; convert side labels "
                     "or 1/-1 with velliq.sides(...)",
                     reinterpret_cast<PyObject*>(given));
        return -1;
    }
    return PyUFunc_DefaultTypeResolver(ufunc, casting, operands, type_tup, out_dtypes);
}

// _set_workers(n) -> the previous count: the workers of this thread's loops.
PyObject* set_workers(PyObject*, PyObject* arg) {
    const long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (n < 1) {
        return PyErr_Format(PyExc_ValueError, "workers must be at least 1, not %ld", n);
    }
    const int previous = loop_workers;
    loop_workers = n > 1024 ? 1024 : static_cast<int>(n);
    return PyLong_FromLong(previous);
}

PyMethodDef module_methods[] = {
    {"_set_workers", set_workers, METH_O,
     "Sets the number of native threads this thread's ufunc loops use; returns the previous."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_ufuncs(PyObject* module) {
    for (std::size_t i = 0; i < std::size(kUfuncs); ++i) {
        const UfuncDef& def = kUfuncs[i];
        loops[i] = def.loop;
        std::copy(def.types, def.types + def.nin + def.nout, loop_types[i]);
        PyRef ufunc = PyRef::steal(PyUFunc_FromFuncAndData(&loops[i], &loop_data[i], loop_types[i],
                                                           1, def.nin, def.nout, PyUFunc_None,
                                                           def.name.text, def.doc, 0));
        if (!ufunc) {
            return false;
        }
        reinterpret_cast<PyUFuncObject*>(ufunc.get())->type_resolver = refuse_non_boolean_is_call;
        if (PyModule_AddObjectRef(module, def.name.text, ufunc.get()) < 0) {
            return false;
        }
    }
    return true;
}

// REASONS: the names of the reason codes, indexed by code.
bool add_reason_names(PyObject* module) {
    PyRef names = PyRef::steal(PyTuple_New(std::size(REASON_NAMES)));
    for (std::size_t i = 0; names && i < std::size(REASON_NAMES); ++i) {
        PyObject* name = PyUnicode_FromString(REASON_NAMES[i]);
        if (!name) {
            return false;
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names && PyModule_AddObjectRef(module, "REASONS", names.get()) == 0;
}

int module_exec(PyObject* module) {
    if (_import_array() < 0 || _import_umath() < 0 || !bind_brentq()) {
        return -1;
    }
    return add_ufuncs(module) && add_reason_names(module) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The loops' tables and the brentq pointer are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = [] {
    PyModuleDef def{};  // every field not set below stays null
    def.m_base = PyModuleDef_HEAD_INIT;
    def.m_name = "velliq._ufuncs";
    def.m_doc = "The pricing kernels as NumPy ufuncs; see velliq.baw.";
    def.m_methods = module_methods;
    def.m_slots = module_slots;
    return def;
}();

}  // namespace
}  // namespace velliq

PyMODINIT_FUNC PyInit__ufuncs() {
    return PyModuleDef_Init(&velliq::module_def);
}
