// velliq._ufuncs: the pricing kernels as NumPy ufuncs, so that NumPy
// broadcasts, casts, honours out= and where=, and runs the loops without the
// GIL. What it registers is the list of registry.hpp (each model at each
// setting, and the model-free ufuncs); the package's Python modules give them
// their public names.
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <string_view>

#include "common/parallel_for.hpp"
#include "common/pyref.hpp"
#include "common/scipy_brentq.hpp"
#include "ufuncs/registry.hpp"
#include "ufuncs/surface_gufuncs.hpp"

namespace velliq {
namespace {

constexpr auto kUfuncs = join(kModelUfuncs, kModelFree);
static_assert(std::all_of(kUfuncs.begin(), kUfuncs.end(),
                          [](const UfuncDef& def) { return def.nin + def.nout <= kMaxArgs; }));

// NumPy keeps pointers to these for the life of the ufuncs.
PyUFuncGenericFunction loops[std::size(kUfuncs)];
void* loop_data[std::size(kUfuncs)] = {};
char loop_types[std::size(kUfuncs)][kMaxArgs];

// The most native threads one thread's ufunc loops may use (velliq.workers).
constexpr long kMaxWorkers = 1024;

// The names of a ufunc's inputs, by the result its name says (registry.hpp:
// <model>_<result><suffix>, time_value and dividend_carry).
struct InputNames {
    const char* names[kMaxArgs];
    int count;
};

constexpr bool names_contain(std::string_view name, std::string_view part) {
    return name.find(part) != std::string_view::npos;
}

constexpr InputNames plain_input_names(std::string_view ufunc_name) {
    if (names_contain(ufunc_name, "forward_pair")) {
        return {
            {"S", "K", "D", "call_bid", "call_mid", "call_ask", "put_bid", "put_mid", "put_ask"},
            9};
    }
    if (names_contain(ufunc_name, "implied_vol")) {
        return {{"price", "S", "K", "D", "F", "is_call"}, 6};
    }
    if (names_contain(ufunc_name, "time_value")) {
        return {{"price", "S", "K", "is_call"}, 4};
    }
    if (names_contain(ufunc_name, "dividend_carry")) {
        return {{"S", "F"}, 2};
    }
    return {{"S", "K", "D", "F", "sigma", "is_call"}, 6};  // price and greeks
}

// A generalized ufunc (a model with a schedule of dividends) takes the
// schedule's fractions and amounts after its plain inputs.
constexpr InputNames input_names(std::string_view ufunc_name, bool with_schedule) {
    InputNames inputs = plain_input_names(ufunc_name);
    if (with_schedule) {
        inputs.names[inputs.count++] = "fractions";
        inputs.names[inputs.count++] = "amounts";
    }
    return inputs;
}

static_assert(std::all_of(kUfuncs.begin(), kUfuncs.end(), [](const UfuncDef& def) {
    const InputNames inputs = input_names(def.name.text, def.signature != nullptr);
    bool sides_named = true;
    for (int i = 0; i < def.nin; ++i) {
        sides_named = sides_named && (def.types[i] == NPY_BOOL) ==
                                         (std::string_view(inputs.names[i]) == "is_call");
    }
    return inputs.count == def.nin && sides_named;
}));

// Integers and floats of any width: the dtypes the loops' doubles are cast from.
bool is_real(const PyArray_Descr* dtype) {
    return PyTypeNum_ISINTEGER(dtype->type_num) || PyTypeNum_ISFLOAT(dtype->type_num);
}

// NumPy asks a ufunc's type resolver only when no loop takes the operands'
// dtypes as they are, so float64 numbers with boolean is_call never reach
// this one. It refuses by name what NumPy would cast quietly (booleans as
// numbers) or refuse without naming the argument (is_call as labels, +/-1 or
// floats; complex, strings, dates, objects as numbers). Real numbers NumPy
// resolves as before; long double, which NumPy casts to double only when
// told to, is cast to the loop's double as the other floats are.
int resolve_real_inputs(PyUFuncObject* ufunc, NPY_CASTING casting, PyArrayObject** operands,
                        PyObject* type_tup, PyArray_Descr** out_dtypes) {
    const InputNames inputs = input_names(ufunc->name, ufunc->core_enabled != 0);
    bool long_double = false;
    for (int i = 0; i < ufunc->nin; ++i) {
        PyArray_Descr* given = PyArray_DESCR(operands[i]);
        const auto* given_object = reinterpret_cast<PyObject*>(given);
        if (ufunc->types[i] == NPY_BOOL) {
            if (given->type_num != NPY_BOOL) {
                PyErr_Format(PyExc_TypeError,
                             "is_call must be booleans (True for a call), not %S; convert side "
                             "labels or 1/-1 with velliq.sides(...)",
                             given_object);
                return -1;
            }
        } else if (!is_real(given)) {
            PyErr_Format(PyExc_TypeError,
                         "%s must be real numbers (an integer or float dtype), not %S",
                         inputs.names[i], given_object);
            return -1;
        }
        long_double = long_double || given->type_num == NPY_LONGDOUBLE;
    }
    if (!long_double || type_tup != nullptr) {
        return PyUFunc_DefaultTypeResolver(ufunc, casting, operands, type_tup, out_dtypes);
    }
    const int n_args = ufunc->nin + ufunc->nout;
    PyRef loop_types = PyRef::steal(PyTuple_New(n_args));
    for (int i = 0; loop_types && i < n_args; ++i) {
        PyArray_Descr* dtype = PyArray_DescrFromType(ufunc->types[i]);
        if (!dtype) {
            return -1;
        }
        PyTuple_SET_ITEM(loop_types.get(), i, reinterpret_cast<PyObject*>(dtype));
    }
    if (!loop_types) {
        return -1;
    }
    return PyUFunc_DefaultTypeResolver(ufunc, casting, operands, loop_types.get(), out_dtypes);
}

// _set_workers(n) -> the previous count: the workers of this thread's loops,
// 1 to MAX_WORKERS.
PyObject* set_workers(PyObject*, PyObject* arg) {
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(arg, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (overflow != 0 || n < 1 || n > kMaxWorkers) {
        return PyErr_Format(PyExc_ValueError, "workers must be from 1 to %ld, not %S", kMaxWorkers,
                            arg);
    }
    const int previous = loop_workers;
    loop_workers = static_cast<int>(n);
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
        PyRef ufunc = PyRef::steal(PyUFunc_FromFuncAndDataAndSignature(
            &loops[i], &loop_data[i], loop_types[i], 1, def.nin, def.nout, PyUFunc_None,
            def.name.text, def.doc, 0, def.signature));
        if (!ufunc) {
            return false;
        }
        reinterpret_cast<PyUFuncObject*>(ufunc.get())->type_resolver = resolve_real_inputs;
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
    return add_ufuncs(module) && add_surface_gufuncs(module) && add_reason_names(module) &&
                   PyModule_AddIntConstant(module, "MAX_WORKERS", kMaxWorkers) == 0
               ? 0
               : -1;
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
