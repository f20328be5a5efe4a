// The machinery of velliq._ufuncs' table: argument types, a ufunc's row
// (name, docstring, loop, types) from a strided-loop adapter
// (common/ufunc_loops.hpp, common/reason_loops.hpp), and a model face's five
// rows at one setting; a face with a schedule of cash dividends gives five
// generalized ufuncs (common/dividend_loops.hpp).
#pragma once

#include <Python.h>

#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>

#include "common/dividend_loops.hpp"
#include "common/reason_loops.hpp"
#include "common/ufunc_loops.hpp"
#include "forward/pair.hpp"

namespace velliq {

// The docstrings of a model's five ufuncs at one setting.
struct ModelDocs {
    const char* price;
    const char* implied_vol;
    const char* greeks;
    const char* implied_vol_reason;
    const char* forward_pair;
};

constexpr int kMaxArgs = 15;

// S, K, D, F, sigma as doubles and is_call as a boolean, then the outputs.
constexpr char kDoubles5Bool[kMaxArgs] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                                          NPY_DOUBLE, NPY_BOOL,   NPY_DOUBLE, NPY_DOUBLE,
                                          NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
// A model's volatility with its reason: price, S, K, D, F, is_call; vol, reason.
constexpr char kVolReason[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_BOOL,   NPY_DOUBLE, NPY_INT8};
// S, K, D and six quotes; F_mid, F_lo, F_hi, reason.
constexpr char kQuotePair[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                               NPY_DOUBLE, NPY_DOUBLE, NPY_INT8};
// The dividend ufuncs' types: the same followed by the schedule's fractions
// and amounts (core dimension n), then the outputs.
constexpr char kDividendDoubles5Bool[] = {
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL,  NPY_DOUBLE,
    NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
constexpr char kDividendVolReason[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                                       NPY_BOOL,   NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT8};
constexpr char kDividendQuotePair[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                                       NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE,
                                       NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_INT8};
// S, F, a schedule's fractions and amounts; one double.
constexpr char kDividendCarry[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
// price, S, K as doubles and is_call as a boolean; one double.
constexpr char kDoubles3Bool[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_BOOL, NPY_DOUBLE};

// A ufunc's name, kept in its row: NumPy keeps the pointer, not a copy.
struct UfuncName {
    char text[48] = {};
};

// The parts joined, e.g. {"american", "_", "price", "_fast"}. A name too long
// for UfuncName does not compile.
constexpr UfuncName ufunc_name(std::initializer_list<std::string_view> parts) {
    UfuncName name;
    std::size_t i = 0;
    for (const std::string_view part : parts) {
        for (const char c : part) {
            name.text[i++] = c;
        }
    }
    return name;
}

struct UfuncDef {
    UfuncName name;
    const char* doc;
    int nin;
    int nout;
    PyUFuncGenericFunction loop;
    const char* types;      // the nin + nout argument types
    const char* signature;  // a generalized ufunc's core dimensions; null for a plain ufunc
};

// The ufunc of a strided-loop adapter (ufunc_loops.hpp, reason_loops.hpp).
template <class Adapter>
constexpr UfuncDef ufunc_of(UfuncName name, const char* doc, const char* types) {
    return {name, doc, Adapter::nin, Adapter::nout, ufunc::loop<Adapter>, types, nullptr};
}

// The generalized ufunc of a dividend adapter (dividend_loops.hpp).
template <class Adapter>
constexpr UfuncDef dividend_ufunc_of(UfuncName name, const char* doc, const char* types) {
    return {name,
            doc,
            Adapter::nin,
            Adapter::nout,
            ufunc::dividend_loop<Adapter>,
            types,
            Adapter::signature};
}

// The five ufuncs of a model's face at one setting (baw.hpp, alo.hpp), named
// <model>_<result><suffix>.
template <class Model>
constexpr std::array<UfuncDef, 5> model_ufuncs(std::string_view model, std::string_view suffix,
                                               const ModelDocs& docs) {
    using namespace ufunc;
    auto name = [&](std::string_view result) { return ufunc_name({model, "_", result, suffix}); };
    return {{
        ufunc_of<FiveAndSide<Model::price>>(name("price"), docs.price, kDoubles5Bool),
        ufunc_of<FiveAndSideToSigma<Model::implied_vol>>(name("implied_vol"), docs.implied_vol,
                                                         kDoubles5Bool),
        ufunc_of<FiveAndSideToGreeks<Model::greeks>>(name("greeks"), docs.greeks, kDoubles5Bool),
        ufunc_of<FiveAndSideToVolReason<Model::implied_vol>>(name("implied_vol_reason"),
                                                             docs.implied_vol_reason, kVolReason),
        ufunc_of<QuotePairToForwards<forward_pair<Model>>>(name("forward_pair"), docs.forward_pair,
                                                           kQuotePair),
    }};
}

// The docstrings of a model with a schedule: its five ufuncs' and that of
// the price's derivatives in the amounts.
struct DividendModelDocs {
    ModelDocs model;
    const char* amount_sensitivity;
};

// The generalized ufuncs of a face with a schedule (dividends.hpp) at one
// setting, named as model_ufuncs names them, and <model>_amount_sensitivity;
// each takes the schedule's fractions and amounts as its last two inputs.
template <class Face>
constexpr std::array<UfuncDef, 6> dividend_model_ufuncs(std::string_view model,
                                                        std::string_view suffix,
                                                        const DividendModelDocs& dividend_docs) {
    const ModelDocs& docs = dividend_docs.model;
    using namespace ufunc;
    auto name = [&](std::string_view result) { return ufunc_name({model, "_", result, suffix}); };
    return {{
        dividend_ufunc_of<DividendPrice<Face>>(name("price"), docs.price, kDividendDoubles5Bool),
        dividend_ufunc_of<DividendSigma<Face>>(name("implied_vol"), docs.implied_vol,
                                               kDividendDoubles5Bool),
        dividend_ufunc_of<DividendGreeks<Face>>(name("greeks"), docs.greeks, kDividendDoubles5Bool),
        dividend_ufunc_of<DividendVolReason<Face>>(name("implied_vol_reason"),
                                                   docs.implied_vol_reason, kDividendVolReason),
        dividend_ufunc_of<DividendForwards<Face>>(name("forward_pair"), docs.forward_pair,
                                                  kDividendQuotePair),
        dividend_ufunc_of<DividendAmountSensitivity<Face>>(
            name("amount_sensitivity"), dividend_docs.amount_sensitivity, kDividendDoubles5Bool),
    }};
}

template <std::size_t... N>
constexpr auto join(const std::array<UfuncDef, N>&... tables) {
    std::array<UfuncDef, (N + ...)> all{};
    std::size_t i = 0;
    ((std::copy(tables.begin(), tables.end(), all.begin() + i), i += N), ...);
    return all;
}

}  // namespace velliq
