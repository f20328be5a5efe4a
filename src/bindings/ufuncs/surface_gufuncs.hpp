// velliq._ufuncs' generalized ufuncs of the surface (kernels/surface/): its queries
// over broadcast strikes and years, and the per-slice tables its queries read.
// NumPy runs them without the GIL. velliq.surface hands the core arrays over
// C-contiguous; a loop given other strides writes NaN. A header of ufuncs.cpp,
// whose translation unit holds NumPy's imported C API.
#pragma once

#include <Python.h>

#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <array>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "common/parallel_for.hpp"
#include "common/pyref.hpp"
#include "common/unaligned.hpp"
#include "surface/fit.hpp"
#include "surface/surface.hpp"

namespace velliq {
namespace surface_gufuncs {

using npy_intp_t = Py_ssize_t;
constexpr npy_intp_t kDouble = sizeof(double);
// The per-slice tables of the queries' `slices` argument, in this order.
constexpr npy_intp_t kTables = 6;
// The rows of its `terms` argument.
constexpr npy_intp_t kTerms = 5;

// Whether a core dimension of `size` elements has `stride`: NumPy may give any stride
// to a dimension of one element.
inline bool strided_as(npy_intp_t size, npy_intp_t stride, npy_intp_t expected) {
    return size == 1 || stride == expected;
}

// query(K, T, grid, terms, slices, atm_rate): grid (n), terms (5, s) = years,
// forward, discount, ln forward, ln discount, slices (6, s, n) = density, call, call_slope, put,
// put_slope, sigma.
constexpr const char* kQuerySignature = "(),(),(n),(t,s),(c,s,n),()->()";

template <surface::Query what>
void query_loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps, void*) {
    const npy_intp_t count = dimensions[0];
    const npy_intp_t n = dimensions[1];
    const npy_intp_t s = dimensions[3];
    const npy_intp_t* core = steps + 7;
    const bool contiguous = dimensions[2] == kTerms && dimensions[4] == kTables && n >= 2 &&
                            s >= 1 && core[0] == kDouble && core[1] == s * kDouble &&
                            strided_as(s, core[2], kDouble) && core[3] == s * n * kDouble &&
                            strided_as(s, core[4], n * kDouble) && core[5] == kDouble;
    parallel_for(count, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            char* out = args[6] + i * steps[6];
            if (!contiguous) {
                store(out, DOUBLE_NAN);
                continue;
            }
            const auto* grid = reinterpret_cast<const double*>(args[2] + i * steps[2]);
            const auto* terms = reinterpret_cast<const double*>(args[3] + i * steps[3]);
            const auto* tables = reinterpret_cast<const double*>(args[4] + i * steps[4]);
            const std::ptrdiff_t table = s * n;
            const surface::View view{grid,
                                     static_cast<int>(n),
                                     terms,
                                     terms + s,
                                     terms + 2 * s,
                                     terms + 3 * s,
                                     terms + 4 * s,
                                     static_cast<int>(s),
                                     tables,
                                     tables + table,
                                     tables + 2 * table,
                                     tables + 3 * table,
                                     tables + 4 * table,
                                     tables + 5 * table,
                                     load<double>(args[5] + i * steps[5])};
            store(out, surface::surface_query(view, what, load<double>(args[0] + i * steps[0]),
                                              load<double>(args[1] + i * steps[1])));
        }
    });
    std::feclearexcept(FE_ALL_EXCEPT);
}

// tails(grid, density) -> (call, call_slope, put, put_slope), each (n).
inline void tails_loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps, void*) {
    const npy_intp_t n = dimensions[1];
    const npy_intp_t* core = steps + 6;
    bool contiguous = n >= 2;
    for (int k = 0; k < 6; ++k) {
        contiguous = contiguous && core[k] == kDouble;
    }
    for (npy_intp_t i = 0; i < dimensions[0]; ++i) {
        double* out[4];
        for (int k = 0; k < 4; ++k) {
            out[k] = reinterpret_cast<double*>(args[2 + k] + i * steps[2 + k]);
        }
        if (!contiguous) {  // NaN, not what the outputs held (velliq.surface never strides)
            for (int k = 0; k < 4; ++k) {
                for (npy_intp_t j = 0; j < n; ++j) {
                    store(args[2 + k] + i * steps[2 + k] + j * core[2 + k], DOUBLE_NAN);
                }
            }
            continue;
        }
        surface::surface_tails(reinterpret_cast<const double*>(args[0] + i * steps[0]),
                               static_cast<int>(n),
                               reinterpret_cast<const double*>(args[1] + i * steps[1]), out[0],
                               out[1], out[2], out[3]);
    }
}

// black_otm_sigma(k, price, start) elementwise.
inline void black_sigma_loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps,
                             void*) {
    for (npy_intp_t i = 0; i < dimensions[0]; ++i) {
        store(args[3] + i * steps[3],
              surface::black_otm_sigma(load<double>(args[0] + i * steps[0]),
                                       load<double>(args[1] + i * steps[1]),
                                       load<double>(args[2] + i * steps[2])));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

// fit_slice(grid, quotes, neighbours, options) -> (density, softened): grid (n);
// quotes (5, m) = k, lo, hi, mid, weight; neighbours (5, n) = prior, below value,
// below slope, above value, above slope, a row starting with NaN absent; options
// (2) = smooth, prior_weight. softened: the quotes softened, -1 for no solution.
inline void fit_loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps, void*) {
    const npy_intp_t n = dimensions[1];
    const npy_intp_t m = dimensions[3];
    const npy_intp_t* core = steps + 6;
    bool usable = dimensions[2] == 5 && dimensions[4] == 5 && dimensions[5] == 2 && n >= 3 &&
                  m >= 1 && core[0] == kDouble && core[1] == m * kDouble &&
                  strided_as(m, core[2], kDouble) && core[3] == n * kDouble && core[4] == kDouble &&
                  core[5] == kDouble && core[6] == kDouble;
    // Sized only for a grid the fit takes: fewer than three knots has no interior to size.
    const surface::FitSizes sizes =
        usable ? surface::fit_sizes(static_cast<int>(n), static_cast<int>(m)) : surface::FitSizes{};
    std::vector<double> doubles;
    std::vector<int> ints;
    std::unique_ptr<bool[]> bools;
    try {
        doubles.resize(sizes.doubles);
        ints.resize(sizes.ints);
        bools.reset(new bool[sizes.bools]);
    } catch (const std::exception&) {
        usable = false;  // no memory, or beyond a vector: no solution, as for strided cores
    }
    for (npy_intp_t i = 0; i < dimensions[0]; ++i) {
        auto* density = reinterpret_cast<double*>(args[4] + i * steps[4]);
        char* softened = args[5] + i * steps[5];
        if (!usable) {  // no solution: softened -1 and the density NaN, not what it held
            store(softened, -1.0);
            for (npy_intp_t j = 0; j < n; ++j) {
                store(args[4] + i * steps[4] + j * core[6], DOUBLE_NAN);
            }
            continue;
        }
        const auto* grid = reinterpret_cast<const double*>(args[0] + i * steps[0]);
        const auto* quotes = reinterpret_cast<const double*>(args[1] + i * steps[1]);
        const auto* near = reinterpret_cast<const double*>(args[2] + i * steps[2]);
        const auto* options = reinterpret_cast<const double*>(args[3] + i * steps[3]);
        const auto row = [&](int r) { return std::isnan(near[r * n]) ? nullptr : near + r * n; };
        const surface::SliceProblem problem{grid,           static_cast<int>(n),
                                            quotes,         quotes + m,
                                            quotes + 2 * m, quotes + 3 * m,
                                            quotes + 4 * m, static_cast<int>(m),
                                            row(0),         row(1),
                                            row(2),         row(3),
                                            row(4),         options[0],
                                            options[1]};
        store(softened, static_cast<double>(surface::fit_slice(problem, doubles.data(), ints.data(),
                                                               bools.get(), density)));
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

struct GufuncDef {
    const char* name;
    const char* doc;
    int nin;
    int nout;
    PyUFuncGenericFunction loop;
    const char* signature;
};

constexpr const char* kQueryDoc =
    "surface_<query>(K, T, grid, terms, slices, atm_rate): the surface of velliq.surface\n"
    "at strike K and years T; NaN where K or T is not positive and finite.";

constexpr std::array<GufuncDef, 9> kSurfaceGufuncs = {{
    {"surface_fit_slice",
     "surface_fit_slice(grid, quotes, neighbours, options) -> (density, softened):\n"
     "one slice of velliq.surface fitted to its quotes' bands (kernels/surface/fit.hpp).",
     4, 2, fit_loop, "(n),(q,m),(r,n),(o)->(n),()"},
    {"surface_implied_vol", kQueryDoc, 6, 1, query_loop<surface::Query::implied_vol>,
     kQuerySignature},
    {"surface_total_variance", kQueryDoc, 6, 1, query_loop<surface::Query::total_variance>,
     kQuerySignature},
    {"surface_call_price", kQueryDoc, 6, 1, query_loop<surface::Query::call_price>,
     kQuerySignature},
    {"surface_put_price", kQueryDoc, 6, 1, query_loop<surface::Query::put_price>, kQuerySignature},
    {"surface_density", kQueryDoc, 6, 1, query_loop<surface::Query::density>, kQuerySignature},
    {"surface_local_vol", kQueryDoc, 6, 1, query_loop<surface::Query::local_vol>, kQuerySignature},
    {"surface_tails",
     "surface_tails(grid, density) -> (call, call_slope, put, put_slope): a slice's\n"
     "normalised call and put values and slopes at the knots.",
     2, 4, tails_loop, "(n),(n)->(n),(n),(n),(n)"},
    {"surface_black_sigma",
     "surface_black_sigma(k, price, start): the total standard deviation of Black's\n"
     "out-of-the-money price at forward 1 (the call for k >= 1), from `start`.",
     3, 1, black_sigma_loop, "(),(),()->()"},
}};

constexpr int kMaxSurfaceArgs = 7;
inline PyUFuncGenericFunction loops[std::size(kSurfaceGufuncs)];
inline void* loop_data[std::size(kSurfaceGufuncs)] = {};
inline char loop_types[std::size(kSurfaceGufuncs)][kMaxSurfaceArgs];

}  // namespace surface_gufuncs

// Adds surface_<query>, surface_tails and surface_black_sigma to the module;
// false with a Python error set on failure.
inline bool add_surface_gufuncs(PyObject* module) {
    using namespace surface_gufuncs;
    for (std::size_t i = 0; i < std::size(kSurfaceGufuncs); ++i) {
        const GufuncDef& def = kSurfaceGufuncs[i];
        loops[i] = def.loop;
        for (int k = 0; k < def.nin + def.nout; ++k) {
            loop_types[i][k] = NPY_DOUBLE;
        }
        PyRef ufunc = PyRef::steal(PyUFunc_FromFuncAndDataAndSignature(
            &loops[i], &loop_data[i], loop_types[i], 1, def.nin, def.nout, PyUFunc_None, def.name,
            def.doc, 0, def.signature));
        if (!ufunc || PyModule_AddObjectRef(module, def.name, ufunc.get()) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace velliq
