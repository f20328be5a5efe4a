// velliq.norvane: the module definition and its four entry points. Each entry
// point is a struct in the shape of entry_point.hpp: its converted arguments,
// how they are converted, and the typed body that computes the result. The
// tracebacks of its errors cite the lines of this file.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <source_location>
#include <tuple>

#include "baw_results.hpp"
#include "common/pyref.hpp"
#include "common/scipy_brentq.hpp"
#include "common/typed_view.hpp"
#include "common/ufunc_loops.hpp"
#include "entry_point.hpp"
#include "forward/search.hpp"
#include "function_object.hpp"
#include "numpy_calls.hpp"
#include "startup.hpp"
#include "strike_selection.hpp"
#include "traceback.hpp"

namespace velliq {
namespace {

// --- baw_price(S, K, D, F, sigma, flag) -------------------------------------

struct baw_price {
    static constexpr std::source_location definition = std::source_location::current();

    struct Args {
        double S, K, D, F, sigma;
        int q;
    };

    static bool convert(Call& call, Args* a) {
        return call.numbers(a->S, a->K, a->D, a->F, a->sigma) && call.side(5, &a->q);
    }

    static PyObject* run(Call& call, Args& a) {
        return call.float_result(norvane_price(a.S, a.K, a.D, a.F, a.sigma, a.q));
    }
};

// --- baw_implied_vol(price, S, K, D, F, flag) -------------------------------

struct baw_implied_vol {
    static constexpr std::source_location definition = std::source_location::current();

    struct Args {
        double price, S, K, D, F;
        int q;
    };

    static bool convert(Call& call, Args* a) {
        return call.numbers(a->price, a->S, a->K, a->D, a->F) && call.side(5, &a->q);
    }

    static PyObject* run(Call& call, Args& a) {
        return call.float_result(norvane_implied_vol(a.price, a.S, a.K, a.D, a.F, a.q));
    }
};

// --- vectorized_baw_implied_vol(prices, S_arr, K_arr, D_arr, F_arr, flags) --

// The sides of the first n flags as np.intc: 1 where the flag equals "c", -1
// otherwise. Every flag is compared, also those past n, so that one whose
// comparison raises fails the call; the flags are streamed, never copied.
PyRef side_array(PyObject* flags, Py_ssize_t n, TypedView* side_view) {
    PyRef sides = numpy_empty(n, numpy_names.intc, ElementType::Int, side_view);
    PyRef iterator = sides ? PyRef::steal(PyObject_GetIter(flags)) : PyRef();
    if (!iterator) {
        return PyRef();
    }
    Py_ssize_t count = 0;
    while (PyRef flag = PyRef::steal(PyIter_Next(iterator.get()))) {
        int side;
        if (!flag_side(flag.get(), &side)) {
            return PyRef();
        }
        if (count < n) {
            side_view->set(count, side);
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

struct vectorized_baw_implied_vol {
    static constexpr std::source_location definition = std::source_location::current();
    static constexpr const char* input_names[5] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    using Loop = ufunc::FiveAndSide<norvane_implied_vol, ufunc::SideInput>;

    struct Args {
        Py_ssize_t n;
        std::array<PyRef, 5> inputs;  // prices, S, K, D, F as float64, read in place
        PyRef sides;
        PyRef out;
        // The views in the loop's argument order: the five inputs, the sides, the output.
        std::array<TypedView, Loop::nin + Loop::nout> views;
    };

    static bool convert(Call& call, Args* a) {
        if ((a->n = PyObject_Length(call.bound[0])) < 0) {
            return call.fail();
        }
        for (int i = 0; i < 5; ++i) {
            a->inputs[i] = float64_input(call.bound[i], input_names[i], a->n, &a->views[i]);
            if (!a->inputs[i]) {
                return call.fail();
            }
        }
        if (!(a->sides = side_array(call.bound[5], a->n, &a->views[5]))) {
            return call.fail();
        }
        a->out = numpy_empty(a->n, numpy_names.float64, ElementType::Double, &a->views[6]);
        return a->out || call.fail();
    }

    // Only the memory behind the views and the kernels' constants are touched
    // without the lock; every view stays acquired until after the loop. The
    // loop runs on this thread: velliq.workers sets the ufuncs' workers only.
    static PyObject* run(Call&, Args& a) {
        std::array<char*, std::tuple_size_v<decltype(a.views)>> data;
        std::array<ufunc::npy_intp_t, std::tuple_size_v<decltype(a.views)>> steps;
        for (std::size_t k = 0; k < a.views.size(); ++k) {
            data[k] = a.views[k].data;
            steps[k] = a.views[k].stride;
        }
        Py_BEGIN_ALLOW_THREADS ufunc::strided_loop<Loop>(data.data(), a.n, steps.data());
        Py_END_ALLOW_THREADS return a.out.release();
    }
};

// --- find_forward_baw(call_prices, put_prices, strikes, S, D, strike_pct) ---

// Replaces C-contiguous arrays of one shape, of more than one dimension, by
// their flattened views (arr.reshape(-1)); others are left for the view to judge.
static bool flatten_if_alike(std::array<PyRef, 3>& arrays) {
    PyRef shapes[3];
    for (int i = 0; i < 3; ++i) {
        shapes[i] = PyRef::steal(PyObject_GetAttrString(arrays[i].get(), "shape"));
        if (!shapes[i]) {
            return false;
        }
    }
    if (PyTuple_Check(shapes[0].get()) && PyTuple_GET_SIZE(shapes[0].get()) < 2) {
        return true;
    }
    for (int i = 1; i < 3; ++i) {
        const int same = PyObject_RichCompareBool(shapes[0].get(), shapes[i].get(), Py_EQ);
        if (same <= 0) {
            return same == 0;
        }
    }
    for (auto& array : arrays) {
        PyRef flat = PyRef::steal(PyObject_CallMethod(array.get(), "reshape", "i", -1));
        if (!flat) {
            return false;
        }
        array = std::move(flat);
    }
    return true;
}

struct find_forward_baw {
    static constexpr std::source_location definition = std::source_location::current();

    struct Args {
        double S, D;
        double strike_pct = DEFAULT_STRIKE_PCT;
        std::array<PyRef, 3> arrays;  // call_prices, put_prices, strikes as float64
        std::array<TypedView, 3> views;
        std::int64_t n;
        std::unique_ptr<double[]> selection;  // room for n calls, then n puts, then n strikes
        std::int64_t selected;                // the quotes selected, from each start
    };

    static bool convert(Call& call, Args* a) {
        if (!call.number(3, &a->S) || !call.number(4, &a->D) || !call.number(5, &a->strike_pct)) {
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            a->arrays[i] = numpy_call_with_dtype(numpy_names.ascontiguousarray, call.bound[i],
                                                 numpy_names.float64);
            if (!a->arrays[i]) {
                return call.fail();
            }
        }
        // Arrays of one shape are read as their flattened elements, as boolean
        // indexing by a mask of that shape would select them.
        if (!flatten_if_alike(a->arrays)) {
            return call.fail();
        }
        for (int i = 0; i < 3; ++i) {
            if (!acquire_view(a->arrays[i].get(), ElementType::Double, Access::ReadOnly,
                              &a->views[i])) {
                return call.fail();
            }
        }
        const std::int64_t n = a->n = a->views[2].length;
        if (a->views[0].length != n || a->views[1].length != n) {
            PyErr_Format(PyExc_ValueError,
                         "call_prices, put_prices and strikes must have one length, not %lld, "
                         "%lld and %lld",
                         static_cast<long long>(a->views[0].length),
                         static_cast<long long>(a->views[1].length), static_cast<long long>(n));
            return call.fail();
        }
        a->selection.reset(new (std::nothrow) double[3 * std::max<std::int64_t>(n, 1)]);
        if (!a->selection) {
            PyErr_NoMemory();
            return call.fail();
        }
        double* out = a->selection.get();
        a->selected = select_strikes(a->views[0], a->views[1], a->views[2], a->S, a->strike_pct,
                                     out, out + n, out + 2 * n);
        return true;
    }

    static PyObject* run(Call& call, Args& a) {
        const double* selection = a.selection.get();
        const ForwardParams params{a.S,       a.D, selection, selection + a.n, selection + 2 * a.n,
                                   a.selected};
        double forward;
        // Without the lock the search touches only `params` on this stack and
        // the selection, a private copy owned by the arguments.
        Py_BEGIN_ALLOW_THREADS forward = _find_forward(&params);
        Py_END_ALLOW_THREADS return call.float_result(forward);
    }
};

// --- Function objects -------------------------------------------------------

constexpr FunctionDef baw_price_def = {
    "baw_price",
    "BAW American option price (C++).\n"
    "\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.\n"
    "    ",
    6,
    6,
    {"S", "K", "D", "F", "sigma", "flag"},
    entry_point<baw_price>};

constexpr FunctionDef baw_implied_vol_def = {"baw_implied_vol",
                                             "BAW implied total std dev (C++).\n"
                                             "\n"
                                             "    Returns sigma or NaN on failure.\n"
                                             "    ",
                                             6,
                                             6,
                                             {"price", "S", "K", "D", "F", "flag"},
                                             entry_point<baw_implied_vol>};

constexpr FunctionDef vectorized_baw_implied_vol_def = {
    "vectorized_baw_implied_vol",
    "Batch BAW IV extraction (C++).\n"
    "\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n"
    "    ",
    6,
    6,
    {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"},
    entry_point<vectorized_baw_implied_vol>};

constexpr FunctionDef find_forward_baw_def = {
    "find_forward_baw",
    "Find forward price F where BAW call IV \xe2\x89\x88 put IV across near-ATM strikes.",
    5,
    6,
    {"call_prices", "put_prices", "strikes", "S", "D", "strike_pct"},
    entry_point<find_forward_baw>};

// --- Start-up ---------------------------------------------------------------

PyObject* module_object = nullptr;   // strong reference once exec has begun
PyObject* module_globals = nullptr;  // borrowed from module_object

bool store_function(const FunctionDef& def, PyObject* module_name, PyObject* defaults) {
    PyRef function = PyRef::steal(new_function(def, module_globals, module_name, defaults));
    return function && PyDict_SetItemString(module_globals, def.name, function.get()) == 0;
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
    if (!warn_on_version_mismatch() || !init_numpy_calls(module_globals) || !init_flag_rule() ||
        !ready_function_type()) {
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
    if (!numpy || PyDict_SetItem(module_globals, numpy_names.np, numpy.get()) < 0 ||
        !import_numpy_c_api()) {
        return false;
    }
    PyRef module_name = PyRef::steal(PyUnicode_FromString(kModuleName));
    if (!module_name || !store_function(baw_price_def, module_name.get(), Py_None) ||
        !store_function(baw_implied_vol_def, module_name.get(), Py_None) ||
        !store_function(vectorized_baw_implied_vol_def, module_name.get(), Py_None)) {
        return false;
    }
    PyRef default_pct = PyRef::steal(PyFloat_FromDouble(DEFAULT_STRIKE_PCT));
    PyRef defaults = default_pct ? PyRef::steal(PyTuple_Pack(1, default_pct.get())) : PyRef();
    if (!defaults || !store_function(find_forward_baw_def, module_name.get(), defaults.get())) {
        return false;
    }
    PyRef test = PyRef::steal(PyDict_New());
    return test && PyDict_SetItemString(module_globals, "__test__", test.get()) == 0;
}

int module_exec(PyObject* module) {
    static constexpr std::source_location exec_definition = std::source_location::current();
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
    if (module_globals && numpy_names.np) {
        add_traceback("init velliq.norvane", static_cast<int>(exec_definition.line()),
                      module_globals);
    }
    module_globals = nullptr;
    Py_CLEAR(module_object);
    return -1;
}

PyObject* module_create_once(PyObject* spec, PyModuleDef* def) {
    return module_create(spec, def, module_object);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create_once)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = [] {
    PyModuleDef def{};  // every field not set below stays null
    def.m_base = PyModuleDef_HEAD_INIT;
    def.m_name = "norvane";
    def.m_doc =
        "C++ Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
        "\n"
        "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and\n"
        "find_forward_baw as C-level code (loops run without the GIL; SciPy's compiled brentq "
        "is used inside).\n";
    def.m_slots = module_slots;
    return def;
}();

}  // namespace
}  // namespace velliq

PyMODINIT_FUNC PyInit_norvane() {
    return PyModuleDef_Init(&velliq::module_def);
}
