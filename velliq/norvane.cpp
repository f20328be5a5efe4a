// velliq.norvane: the module definition, its one-time start-up and the four
// entry points. Each entry point binds and converts its arguments, prepares
// typed views where it takes arrays, and calls the pricing kernels; every
// exception leaving it carries a traceback entry naming it.
#include <Python.h>

#include <numpy/arrayobject.h>

#include <array>
#include <cstdio>

#include "binding.hpp"
#include "function_object.hpp"
#include "kernels.hpp"
#include "pyref.hpp"
#include "typed_view.hpp"

namespace velliq {
namespace {

// --- Process-wide state, written once by start-up -------------------------

std::int64_t recorded_interpreter = -1;
PyObject* module_object = nullptr;  // strong reference once exec has begun
PyObject* module_globals = nullptr;  // borrowed from module_object

// Interned names and cached Python constants used by the entry points.
struct Cached {
    PyObject* np;
    PyObject* float64;
    PyObject* intc;
    PyObject* bool_type;
    PyObject* ascontiguousarray;
    PyObject* asarray;
    PyObject* empty;
    PyObject* ones;
    PyObject* nan;
    PyObject* any;
    PyObject* dtype_kwnames;  // ("dtype",)
    PyObject* int_zero;
    PyObject* window_pcts[6];  // 0.02, 0.05, 0.1, 0.2, 0.5, 1.0
};
Cached cached;

constexpr const char* kModuleName = "velliq.norvane";

// --- NumPy through the module global `np` ---------------------------------

// np.<attr>, looking `np` up in the module dictionary at every use.
PyRef numpy_attr(PyObject* attr) {
    // Held while its attribute is looked up, which could run code that rebinds `np`.
    PyRef np = PyRef::incref(PyDict_GetItemWithError(module_globals, cached.np));
    if (!np) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", cached.np);
        }
        return PyRef();
    }
    return PyRef::steal(PyObject_GetAttr(np.get(), attr));
}

// np.<func>(obj, dtype=np.<dtype>)
PyRef call_with_dtype(PyObject* func_name, PyObject* obj, PyObject* dtype_name) {
    PyRef func = numpy_attr(func_name);
    PyRef dtype = func ? numpy_attr(dtype_name) : PyRef();
    if (!dtype) {
        return PyRef();
    }
    PyObject* argv[] = {obj, dtype.get()};
    return PyRef::steal(PyObject_Vectorcall(func.get(), argv, 1, cached.dtype_kwnames));
}

// A double view of `arr` that must hold at least `n` elements. Reading fewer
// would run past the end of the buffer, so a short input is refused.
bool acquire_input(PyObject* arr, const char* name, Py_ssize_t n, TypedView* view) {
    if (!acquire_view(arr, ElementType::Double, view)) {
        return false;
    }
    if (view->length < n) {
        PyErr_Format(PyExc_ValueError, "%s holds %lld elements, fewer than len(prices) = %zd",
                     name, static_cast<long long>(view->length), n);
        return false;
    }
    return true;
}

// --- baw_price and baw_implied_vol ------------------------------------------

// The arguments of a scalar entry point: five numbers, then a flag.
struct ScalarArgs {
    double x[5];
    int q;
};

// Binds and converts the arguments of the scalar entry point `self`; on
// failure raises with its traceback entry and returns false.
bool bind_scalar_args(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      int definition_line, ScalarArgs* out) {
    PyObject* bound[6];
    if (!bind_arguments(signature_of(self), args, nargsf, kwnames, bound)) {
        raise_from(self, definition_line);
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        if (!as_double(bound[i], &out->x[i])) {
            raise_from(self, definition_line);
            return false;
        }
    }
    if (!flag_side(bound[5], &out->q)) {
        raise_here(self);
        return false;
    }
    return true;
}

PyObject* baw_price(PyObject* self, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    constexpr int definition_line = __LINE__ - 2;
    ScalarArgs a;  // S, K, D, F, sigma
    if (!bind_scalar_args(self, args, nargsf, kwnames, definition_line, &a)) {
        return nullptr;
    }
    PyObject* result = PyFloat_FromDouble(_baw_price(a.x[0], a.x[1], a.x[2], a.x[3], a.x[4], a.q));
    return result ? result : raise_here(self);
}

PyObject* baw_implied_vol(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
    constexpr int definition_line = __LINE__ - 2;
    ScalarArgs a;  // price, S, K, D, F
    if (!bind_scalar_args(self, args, nargsf, kwnames, definition_line, &a)) {
        return nullptr;
    }
    double result = _baw_implied_vol_c(a.x[0], a.x[1], a.x[2], a.x[3], a.x[4], a.q);
    if (result < 0) {
        result = Py_NAN;  // no volatility reproduces the quote
    }
    PyObject* value = PyFloat_FromDouble(result);
    return value ? value : raise_here(self);
}

// --- vectorized_baw_implied_vol ---------------------------------------------

// np.empty(n, dtype=np.<dtype>) with a view of it, which must hold n elements
// (np.empty is looked up at call time and could have been replaced).
PyRef empty_array(Py_ssize_t n, PyObject* dtype_name, ElementType type, TypedView* view) {
    PyRef n_obj = PyRef::steal(PyLong_FromSsize_t(n));
    PyRef array = n_obj ? call_with_dtype(cached.empty, n_obj.get(), dtype_name) : PyRef();
    if (!array || !acquire_view(array.get(), type, view)) {
        return PyRef();
    }
    if (view->length < n) {
        PyErr_Format(PyExc_ValueError, "np.empty(%zd) returned %lld elements", n,
                     static_cast<long long>(view->length));
        return PyRef();
    }
    return array;
}

// The sides of the first n flags as np.intc: 1 where the flag equals "c", -1
// otherwise. Every flag is compared, also those past n, so that one whose
// comparison raises fails the call; the flags are streamed, never copied.
PyRef side_array(PyObject* flags, Py_ssize_t n, TypedView* q_view) {
    PyRef sides = empty_array(n, cached.intc, ElementType::Int, q_view);
    PyRef iterator = sides ? PyRef::steal(PyObject_GetIter(flags)) : PyRef();
    if (!iterator) {
        return PyRef();
    }
    Py_ssize_t count = 0;
    while (PyRef flag = PyRef::steal(PyIter_Next(iterator.get()))) {
        int q;
        if (!flag_side(flag.get(), &q)) {
            return PyRef();
        }
        if (count < n) {
            q_view->set(count, q);
        }
        ++count;
    }
    if (PyErr_Occurred()) {
        return PyRef();
    }
    if (count < n) {
        PyErr_Format(PyExc_ValueError, "flags holds %zd elements, fewer than len(prices) = %zd",
                     count, n);
        return PyRef();
    }
    return sides;
}

PyObject* vectorized_baw_implied_vol(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    constexpr int definition_line = __LINE__ - 2;
    static constexpr const char* input_names[5] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    PyObject* bound[6];
    if (!bind_arguments(signature_of(self), args, nargsf, kwnames, bound)) {
        return raise_from(self, definition_line);
    }
    const Py_ssize_t n = PyObject_Length(bound[0]);
    if (n < 0) {
        return raise_here(self);
    }

    std::array<PyRef, 5> inputs;
    std::array<TypedView, 5> input_views;  // p_view, s_view, k_view, d_view, f_view
    for (int i = 0; i < 5; ++i) {
        inputs[i] = call_with_dtype(cached.ascontiguousarray, bound[i], cached.float64);
        if (!inputs[i] || !acquire_input(inputs[i].get(), input_names[i], n, &input_views[i])) {
            return raise_here(self);
        }
    }
    TypedView q_view;
    PyRef sides = side_array(bound[5], n, &q_view);
    if (!sides) {
        return raise_here(self);
    }
    TypedView out_view;
    PyRef out = empty_array(n, cached.float64, ElementType::Double, &out_view);
    if (!out) {
        return raise_here(self);
    }

    // Only the memory behind the views and the kernels' constants are touched
    // without the lock; every view stays acquired until after the loop.
    Py_BEGIN_ALLOW_THREADS
    const char* p = input_views[0].data;
    const char* s = input_views[1].data;
    const char* k = input_views[2].data;
    const char* d = input_views[3].data;
    const char* f = input_views[4].data;
    const char* side = q_view.data;
    char* o = out_view.data;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double result = _baw_implied_vol_c(
            TypedView::load<double>(p), TypedView::load<double>(s), TypedView::load<double>(k),
            TypedView::load<double>(d), TypedView::load<double>(f), TypedView::load<int>(side));
        TypedView::store(o, result);
        p += input_views[0].stride;
        s += input_views[1].stride;
        k += input_views[2].stride;
        d += input_views[3].stride;
        f += input_views[4].stride;
        side += q_view.stride;
        o += out_view.stride;
    }
    Py_END_ALLOW_THREADS

    PyRef asarray = numpy_attr(cached.asarray);
    PyRef result_arr = asarray ? PyRef::steal(PyObject_CallOneArg(asarray.get(), out.get()))
                               : PyRef();
    if (!result_arr) {
        return raise_here(self);
    }
    PyRef nan = numpy_attr(cached.nan);
    PyRef failed = nan ? PyRef::steal(PyObject_RichCompare(result_arr.get(), cached.int_zero,
                                                           Py_LT))
                       : PyRef();
    if (!failed || PyObject_SetItem(result_arr.get(), failed.get(), nan.get()) < 0) {
        return raise_here(self);
    }
    return result_arr.release();
}

// --- find_forward_baw -------------------------------------------------------

// The mask of strikes within S (1 -/+ pct), bounds inclusive.
PyRef strike_window(PyObject* strikes, double S, double pct) {
    PyRef lo = PyRef::steal(PyFloat_FromDouble(S * (1 - pct)));
    PyRef hi = PyRef::steal(PyFloat_FromDouble(S * (1 + pct)));
    if (!lo || !hi) {
        return PyRef();
    }
    PyRef above = PyRef::steal(PyObject_RichCompare(strikes, lo.get(), Py_GE));
    PyRef below = above ? PyRef::steal(PyObject_RichCompare(strikes, hi.get(), Py_LE)) : PyRef();
    return below ? PyRef::steal(PyNumber_And(above.get(), below.get())) : PyRef();
}

// The first window of the ladder strike_pct, 2 %, 5 %, ..., 100 % that selects
// a strike, or every strike when none does.
PyRef select_strikes(PyObject* strikes, double S, double strike_pct) {
    for (int i = -1; i < 6; ++i) {
        const double pct = i < 0 ? strike_pct : PyFloat_AS_DOUBLE(cached.window_pcts[i]);
        PyRef mask = strike_window(strikes, S, pct);
        PyRef any = mask ? PyRef::steal(PyObject_CallMethodNoArgs(mask.get(), cached.any))
                         : PyRef();
        const int found = any ? PyObject_IsTrue(any.get()) : -1;
        if (found < 0) {
            return PyRef();
        }
        if (found) {
            return mask;
        }
    }
    const Py_ssize_t count = PyObject_Length(strikes);
    PyRef count_obj = count >= 0 ? PyRef::steal(PyLong_FromSsize_t(count)) : PyRef();
    PyRef ones = count_obj ? numpy_attr(cached.ones) : PyRef();
    if (!ones) {
        return PyRef();
    }
    PyObject* argv[] = {count_obj.get(), cached.bool_type};
    return PyRef::steal(PyObject_Vectorcall(ones.get(), argv, 1, cached.dtype_kwnames));
}

PyObject* find_forward_baw(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept {
    constexpr int definition_line = __LINE__ - 2;
    PyObject* bound[6];
    if (!bind_arguments(signature_of(self), args, nargsf, kwnames, bound)) {
        return raise_from(self, definition_line);
    }
    double S, D;
    double strike_pct = 0.01;
    if (!as_double(bound[3], &S) || !as_double(bound[4], &D) ||
        (bound[5] && !as_double(bound[5], &strike_pct))) {
        return raise_from(self, definition_line);
    }

    std::array<PyRef, 3> arrays;  // call_prices, put_prices, strikes
    for (int i = 0; i < 3; ++i) {
        arrays[i] = call_with_dtype(cached.asarray, bound[i], cached.float64);
        if (!arrays[i]) {
            return raise_here(self);
        }
    }
    PyRef mask = select_strikes(arrays[2].get(), S, strike_pct);
    if (!mask) {
        return raise_here(self);
    }
    std::array<PyRef, 3> selections;  // c_calls, c_puts, c_strikes
    std::array<TypedView, 3> views;
    for (int i = 0; i < 3; ++i) {
        PyRef selected = PyRef::steal(PyObject_GetItem(arrays[i].get(), mask.get()));
        selections[i] = selected ? call_with_dtype(cached.ascontiguousarray, selected.get(),
                                                   cached.float64)
                                 : PyRef();
        if (!selections[i] || !acquire_view(selections[i].get(), ElementType::Double, &views[i])) {
            return raise_here(self);
        }
    }
    // The search reads each selection as n_sel consecutive, aligned doubles.
    // Fresh contiguous selections by one mask always are; anything else is
    // refused rather than read out of bounds.
    const std::int64_t n_sel = views[0].length;
    for (const TypedView& view : views) {
        if (view.length != n_sel || (n_sel > 1 && view.stride != sizeof(double)) ||
            reinterpret_cast<std::uintptr_t>(view.data) % alignof(double) != 0) {
            PyErr_SetString(PyExc_ValueError,
                            "call_prices, put_prices and strikes must select equal, contiguous, "
                            "aligned runs of strikes");
            return raise_here(self);
        }
    }
    const auto* c_calls = reinterpret_cast<const double*>(views[0].data);
    const auto* c_puts = reinterpret_cast<const double*>(views[1].data);
    const auto* c_strikes = reinterpret_cast<const double*>(views[2].data);

    double F_init = S;
    if (n_sel > 0) {
        double f_est_sum = 0.0;
        std::int64_t f_est_count = 0;
        for (std::int64_t j = 0; j < n_sel; ++j) {
            f_est_sum += c_strikes[j] + (c_calls[j] - c_puts[j]) / D;
            ++f_est_count;
        }
        F_init = f_est_sum / f_est_count;
    }
    ForwardParams params{S, D, c_calls, c_puts, c_strikes, n_sel};
    const double search_lo = F_init * 0.97;
    const double search_hi = F_init * 1.03;

    double result;
    // Without the lock the search touches only `params` on this stack and the
    // three selections, private contiguous copies kept alive by the views.
    Py_BEGIN_ALLOW_THREADS
    result = _fminbound(_fwd_iv_abs_diff, search_lo, search_hi, &params, 1e-6, 100);
    Py_END_ALLOW_THREADS

    PyObject* value = PyFloat_FromDouble(result);
    return value ? value : raise_here(self);
}

// --- Function objects -------------------------------------------------------

constexpr FunctionDef baw_price_def = {
    "baw_price",
    "BAW American option price (C++).\n"
    "\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.\n"
    "    ",
    6, 6, {"S", "K", "D", "F", "sigma", "flag"}, baw_price};

constexpr FunctionDef baw_implied_vol_def = {
    "baw_implied_vol",
    "BAW implied total std dev (C++).\n"
    "\n"
    "    Returns sigma or NaN on failure.\n"
    "    ",
    6, 6, {"price", "S", "K", "D", "F", "flag"}, baw_implied_vol};

constexpr FunctionDef vectorized_baw_implied_vol_def = {
    "vectorized_baw_implied_vol",
    "Batch BAW IV extraction (C++).\n"
    "\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n"
    "    ",
    6, 6, {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"}, vectorized_baw_implied_vol};

constexpr FunctionDef find_forward_baw_def = {
    "find_forward_baw",
    "Find forward price F where BAW call IV \xe2\x89\x88 put IV across near-ATM strikes.",
    5, 6, {"call_prices", "put_prices", "strikes", "S", "D", "strike_pct"}, find_forward_baw};

// --- Start-up ---------------------------------------------------------------

bool intern(PyObject** slot, const char* text) {
    return (*slot = PyUnicode_InternFromString(text)) != nullptr;
}

bool create_cached_objects() {
    if (!intern(&cached.np, "np") || !intern(&cached.float64, "float64") ||
        !intern(&cached.intc, "intc") || !intern(&cached.ascontiguousarray, "ascontiguousarray") ||
        !intern(&cached.asarray, "asarray") ||
        !intern(&cached.empty, "empty") || !intern(&cached.ones, "ones") ||
        !intern(&cached.nan, "nan") || !intern(&cached.any, "any")) {
        return false;
    }
    PyObject* dtype = PyUnicode_InternFromString("dtype");
    cached.dtype_kwnames = dtype ? PyTuple_Pack(1, dtype) : nullptr;
    Py_XDECREF(dtype);
    cached.bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);
    cached.int_zero = PyLong_FromLong(0);
    constexpr double pcts[6] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
    for (int i = 0; i < 6; ++i) {
        if (!(cached.window_pcts[i] = PyFloat_FromDouble(pcts[i]))) {
            return false;
        }
    }
    return cached.dtype_kwnames && cached.int_zero &&
           init_flag_rule();
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

bool bind_brentq() {
    static constexpr const char* signature =
        "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, "
        "double, void *, double, double, int, "
        "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";
    PyRef zeros = PyRef::steal(PyImport_ImportModule("scipy.optimize.cython_optimize._zeros"));
    PyRef capi = zeros ? PyRef::steal(PyObject_GetAttrString(zeros.get(), "__pyx_capi__"))
                       : PyRef();
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
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     zeros_name, "function", "brentq");
        return false;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule)
                                                        : Py_TYPE(capsule)->tp_name;
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", zeros_name, "brentq", signature, got ? got : "NULL");
        return false;
    }
    brentq = reinterpret_cast<brentq_t>(PyCapsule_GetPointer(capsule, signature));
    return brentq != nullptr;
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

bool store_function(const FunctionDef& def, PyObject* module_name, PyObject* defaults) {
    PyRef function = PyRef::steal(new_function(def, module_globals, module_name, defaults));
    return function && PyDict_SetItemString(module_globals, def.name, function.get()) == 0;
}

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

PyObject* module_create(PyObject* spec, PyModuleDef*) {
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
    if (module_object) {
        return Py_NewRef(module_object);
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

// The start-up steps after the re-initialisation guard; false with an
// exception set on the first failure.
bool initialise(PyObject* module) {
    module_object = Py_NewRef(module);
    module_globals = PyModule_GetDict(module);
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(module_globals, "__builtins__", builtins.get()) < 0) {
        return false;
    }
    if (!warn_on_version_mismatch() || !create_cached_objects() || !ready_function_type()) {
        return false;
    }
    PyObject* sys_modules = PyImport_GetModuleDict();  // borrowed
    PyRef qualified_name = PyRef::steal(PyUnicode_FromString(kModuleName));
    const int present = qualified_name ? PyDict_Contains(sys_modules, qualified_name.get()) : -1;
    if (present < 0 ||
        (!present && PyDict_SetItem(sys_modules, qualified_name.get(), module) < 0)) {
        return false;
    }
    if (!ready_view_types() || !bind_brentq()) {
        return false;
    }
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItem(module_globals, cached.np, numpy.get()) < 0 ||
        !import_numpy_c_api()) {
        return false;
    }
    PyRef module_name = PyRef::steal(PyUnicode_FromString(kModuleName));
    if (!module_name || !store_function(baw_price_def, module_name.get(), Py_None) ||
        !store_function(baw_implied_vol_def, module_name.get(), Py_None) ||
        !store_function(vectorized_baw_implied_vol_def, module_name.get(), Py_None)) {
        return false;
    }
    PyRef default_pct = PyRef::steal(PyFloat_FromDouble(0.01));
    PyRef defaults = default_pct ? PyRef::steal(PyTuple_Pack(1, default_pct.get())) : PyRef();
    if (!defaults || !store_function(find_forward_baw_def, module_name.get(), defaults.get())) {
        return false;
    }
    PyRef test = PyRef::steal(PyDict_New());
    return test && PyDict_SetItemString(module_globals, "__test__", test.get()) == 0;
}

int module_exec(PyObject* module) {
    constexpr int exec_line = __LINE__ - 1;
    if (module_object) {
        if (module_object == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'norvane' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (initialise(module)) {
        return 0;
    }
    if (module_globals && cached.np) {
        add_traceback("init velliq.norvane", exec_line, module_globals);
    }
    module_globals = nullptr;
    Py_CLEAR(module_object);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvane",
    "C++ Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
    "\n"
    "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and\n"
    "find_forward_baw as C-level code (loops run without the GIL; SciPy's compiled brentq "
    "is used inside).\n",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velliq

PyMODINIT_FUNC PyInit_norvane() { return PyModuleDef_Init(&velliq::module_def); }
