// velliq._ufuncs: the pricing kernels as NumPy ufuncs, so that NumPy
// broadcasts, casts, honours out= and where=, and runs the loops without the
// GIL. One table names each ufunc, its loop and its docstring; velliq.baw
// gives them their public names.
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include "common/parallel_for.hpp"
#include "common/pyref.hpp"
#include "common/reason_loops.hpp"
#include "common/scipy_brentq.hpp"
#include "common/ufunc_loops.hpp"
#include "kernels.hpp"

namespace velliq {
namespace {

constexpr int kMaxArgs = 13;

// A model's volatility with its reason: price, S, K, D, F, is_call; vol, reason.
constexpr char kVolReason[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_BOOL,   NPY_DOUBLE, NPY_INT8};
// S, K, D and six quotes; F_mid, F_lo, F_hi, reason.
constexpr char kQuotePair[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_DOUBLE, NPY_INT8};

struct UfuncDef {
    const char* name;
    const char* doc;
    int nin;
    int nout;
    PyUFuncGenericFunction loop;
    const char* types = nullptr;  // the nin + nout argument types; kDoubles5Bool when null
};

// S, K, D, F, sigma as doubles and is_call as a boolean, then the outputs.
constexpr char kDoubles5Bool[kMaxArgs] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                                          NPY_DOUBLE, NPY_BOOL,   NPY_DOUBLE, NPY_DOUBLE,
                                          NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};

// The accurate American kernels at one of their accuracy settings.
template <int setting>
double american_price_at(double S, double K, double D, double F, double sigma, int side) {
    return _american_price(S, K, D, F, sigma, side, setting);
}
template <int setting>
double american_implied_vol_at(double price, double S, double K, double D, double F, int side) {
    return _american_implied_vol(price, S, K, D, F, side, setting);
}
template <int setting>
ForwardPair american_forward_pair_at(double S, double K, double D, const PairQuotes& quotes) {
    return _american_forward_pair(S, K, D, quotes, setting);
}
template <int setting>
Greeks american_greeks_at(double S, double K, double D, double F, double sigma, int side) {
    return _american_greeks(S, K, D, F, sigma, side, setting);
}

#define AMERICAN_PRICE_DOC(setting)                                                 \
    "American option price from the exercise boundary's integral equation\n"        \
    "(Andersen, Lake & Offengelden 2016), " setting                                 \
    " setting.\n\n"                                                                 \
    "price(S, K, D, F, sigma, is_call), as velliq.baw.price. NaN where any input\n" \
    "is NaN or not positive, and where the put (the call's mirror) would have\n"    \
    "two exercise boundaries (negative rates below the dividend yield)."
#define AMERICAN_VOL_DOC(setting)                                                    \
    "Implied total standard deviation of an American price, " setting                \
    " setting.\n\n"                                                                  \
    "implied_vol(price, S, K, D, F, is_call): started from the BAW volatility and\n" \
    "refined by secant steps on the accurate price. 0.0 at or below the\n"           \
    "exercise value, NaN where no volatility reproduces the quote."
#define AMERICAN_VOL_REASON_DOC(setting)                                    \
    "Implied total standard deviation of an American price, " setting       \
    " setting, with\n"                                                      \
    "the reason it is not a positive volatility.\n\n"                       \
    "implied_vol_reason(price, S, K, D, F, is_call) -> (vol, reason), as\n" \
    "velliq.baw.implied_vol_reason."
#define AMERICAN_FORWARD_PAIR_DOC(setting)                                     \
    "The forwards one strike's call and put quotes imply under the accurate\n" \
    "American price, " setting                                                 \
    " setting.\n\n"                                                            \
    "forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,\n"  \
    "put_ask) -> (F_mid, F_lo, F_hi, reason), as velliq.baw.forward_pair."
#define AMERICAN_GREEKS_DOC(setting)                \
    "Sensitivities of the American price, " setting \
    " setting, exact for\n"                         \
    "the computed price: (delta, gamma, vega, dF, dD) as velliq.baw.greeks."

const UfuncDef kUfuncs[] = {
    {"baw_price",
     "American option price by the Barone-Adesi-Whaley (1987) approximation.\n\n"
     "price(S, K, D, F, sigma, is_call): spot, strike, discount factor, forward,\n"
     "total standard deviation (volatility * sqrt(years)) and True for a call.\n"
     "Never below the exercise value, which it is where sigma <= 0. NaN where any\n"
     "input is NaN or S, K, D or F is not positive and finite.",
     6, 1, ufunc::loop<ufunc::FiveAndSide<_baw_price_checked>>},
    {"baw_implied_vol",
     "Implied total standard deviation of an American (BAW) price.\n\n"
     "implied_vol(price, S, K, D, F, is_call): 0.0 for a quote at or below its\n"
     "exercise value, NaN where no volatility reproduces the quote, an input is\n"
     "NaN, the quote is infinite or S, K, D or F is not positive and finite.\n"
     "Divide by sqrt(years) for an annual volatility.",
     6, 1, ufunc::loop<ufunc::FiveAndSide<_baw_implied_vol_checked>>},
    {"baw_greeks",
     "Sensitivities of the American (BAW) price, in closed form.\n\n"
     "greeks(S, K, D, F, sigma, is_call) -> (delta, gamma, vega, dF, dD):\n"
     "delta and gamma in S with D and F/S fixed; vega per unit of sigma, the\n"
     "total standard deviation; dF in F with S and D fixed; dD in D with S and\n"
     "F fixed. Where the price is the exercise value, delta is +1 or -1 (0 out\n"
     "of the money) and the rest 0. NaN where price gives NaN.",
     6, 5, ufunc::loop<ufunc::FiveAndSideToGreeks<_baw_greeks_checked>>},
    {"baw_implied_vol_reason",
     "Implied total standard deviation of an American (BAW) price, with the\n"
     "reason it is not a positive volatility.\n\n"
     "implied_vol_reason(price, S, K, D, F, is_call) -> (vol, reason): vol as\n"
     "implied_vol, NaN where reason is missing_input; reason an int8 indexing\n"
     "velliq.baw.REASONS: missing_input (an input NaN or infinite, or S, K, D or\n"
     "F not positive), below_intrinsic and no_time_value (vol 0.0: the price\n"
     "below, or within 1e-10 of, its exercise value), no_solution (vol NaN), ok.",
     6, 2, ufunc::loop<ufunc::FiveAndSideToVolReason<_baw_implied_vol_value>>, kVolReason},
    {"baw_forward_pair",
     "The forwards one strike's call and put quotes imply under BAW.\n\n"
     "forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,\n"
     "put_ask) -> (F_mid, F_lo, F_hi, reason): F_mid makes the mids' implied\n"
     "volatilities agree; on [F_lo, F_hi] the call's and the put's bid-ask\n"
     "volatility bands overlap. Each is the root of iv_call - iv_put within\n"
     "(K - P/D, K + C/D), to 1e-10 relative. A bid without time value (zero or\n"
     "NaN) puts its end at that interval's edge. reason, an int8 indexing\n"
     "velliq.baw.REASONS, says why a forward is NaN (missing_input,\n"
     "below_intrinsic, no_time_value, no_solution, unsettled, no_overlap), the\n"
     "mid's failure first; ok otherwise.",
     9, 4, ufunc::loop<ufunc::QuotePairToForwards<_baw_forward_pair>>, kQuotePair},
    {"american_price", AMERICAN_PRICE_DOC("default"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_price_at<AMERICAN_DEFAULT>>>},
    {"american_implied_vol", AMERICAN_VOL_DOC("default"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_implied_vol_at<AMERICAN_DEFAULT>>>},
    {"american_greeks", AMERICAN_GREEKS_DOC("default"), 6, 5,
     ufunc::loop<ufunc::FiveAndSideToGreeks<american_greeks_at<AMERICAN_DEFAULT>>>},
    {"american_implied_vol_reason", AMERICAN_VOL_REASON_DOC("default"), 6, 2,
     ufunc::loop<ufunc::FiveAndSideToVolReason<american_implied_vol_at<AMERICAN_DEFAULT>>>,
     kVolReason},
    {"american_forward_pair", AMERICAN_FORWARD_PAIR_DOC("default"), 9, 4,
     ufunc::loop<ufunc::QuotePairToForwards<american_forward_pair_at<AMERICAN_DEFAULT>>>,
     kQuotePair},
    {"american_price_fast", AMERICAN_PRICE_DOC("fast"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_price_at<AMERICAN_FAST>>>},
    {"american_implied_vol_fast", AMERICAN_VOL_DOC("fast"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_implied_vol_at<AMERICAN_FAST>>>},
    {"american_greeks_fast", AMERICAN_GREEKS_DOC("fast"), 6, 5,
     ufunc::loop<ufunc::FiveAndSideToGreeks<american_greeks_at<AMERICAN_FAST>>>},
    {"american_implied_vol_reason_fast", AMERICAN_VOL_REASON_DOC("fast"), 6, 2,
     ufunc::loop<ufunc::FiveAndSideToVolReason<american_implied_vol_at<AMERICAN_FAST>>>,
     kVolReason},
    {"american_forward_pair_fast", AMERICAN_FORWARD_PAIR_DOC("fast"), 9, 4,
     ufunc::loop<ufunc::QuotePairToForwards<american_forward_pair_at<AMERICAN_FAST>>>, kQuotePair},
    {"american_price_high", AMERICAN_PRICE_DOC("high"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_price_at<AMERICAN_HIGH>>>},
    {"american_implied_vol_high", AMERICAN_VOL_DOC("high"), 6, 1,
     ufunc::loop<ufunc::FiveAndSide<american_implied_vol_at<AMERICAN_HIGH>>>},
    {"american_greeks_high", AMERICAN_GREEKS_DOC("high"), 6, 5,
     ufunc::loop<ufunc::FiveAndSideToGreeks<american_greeks_at<AMERICAN_HIGH>>>},
    {"american_implied_vol_reason_high", AMERICAN_VOL_REASON_DOC("high"), 6, 2,
     ufunc::loop<ufunc::FiveAndSideToVolReason<american_implied_vol_at<AMERICAN_HIGH>>>,
     kVolReason},
    {"american_forward_pair_high", AMERICAN_FORWARD_PAIR_DOC("high"), 9, 4,
     ufunc::loop<ufunc::QuotePairToForwards<american_forward_pair_at<AMERICAN_HIGH>>>, kQuotePair},
};

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
    const int is_call = ufunc->nin - 1;
    PyArray_Descr* given = PyArray_DESCR(operands[is_call]);
    if (ufunc->types[is_call] == NPY_BOOL && given->type_num != NPY_BOOL) {
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
        const char* types = def.types ? def.types : kDoubles5Bool;
        std::copy(types, types + def.nin + def.nout, loop_types[i]);
        PyRef ufunc = PyRef::steal(PyUFunc_FromFuncAndData(&loops[i], &loop_data[i], loop_types[i],
                                                           1, def.nin, def.nout, PyUFunc_None,
                                                           def.name, def.doc, 0));
        if (!ufunc) {
            return false;
        }
        reinterpret_cast<PyUFuncObject*>(ufunc.get())->type_resolver = refuse_non_boolean_is_call;
        if (PyModule_AddObjectRef(module, def.name, ufunc.get()) < 0) {
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
