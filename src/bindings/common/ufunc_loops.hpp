// Strided loops over scalar kernels. An adapter says how one element is read,
// computed and written; strided_loop<Adapter> walks strided arguments and
// splits the walk over the calling thread's workers (parallel_for.hpp), and
// loop<Adapter> is that walk as a NumPy inner loop. velliq.norvane's batch
// entry point runs the same walk over its typed views.
// NumPy hands its loops aligned data of the registered types and runs them
// without the GIL. The kernels report through their values (NaN for no
// answer), so the floating-point flags their searches raise on the way are
// cleared rather than shown as NumPy warnings; worker threads' flags never
// reach NumPy, and this keeps one thread and several alike.
#pragma once

#include <Python.h>

#include <cfenv>

#include "kernels.hpp"
#include "parallel_for.hpp"
#include "unaligned.hpp"

namespace velliq::ufunc {

using npy_intp_t = Py_ssize_t;  // NumPy's npy_intp

using velliq::load;
using velliq::store;

// How the option's side is stored: the side the kernels take is +1 for a call
// and -1 for a put.
// is_call: NumPy's bool, one byte, nonzero for True.
struct IsCallInput {
    static int side(const char* p) { return load<unsigned char>(p) ? 1 : -1; }
};
// side: the kernels' own +1 / -1 as a C int.
struct SideInput {
    static int side(const char* p) { return load<int>(p); }
};

// Five doubles and a side in, one double out.
template <double (*kernel)(double, double, double, double, double, int), class Side = IsCallInput>
struct FiveAndSide {
    static constexpr int nin = 6;
    static constexpr int nout = 1;
    static void element(char* const* p) {
        store(p[6], kernel(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                           load<double>(p[3]), load<double>(p[4]), Side::side(p[5])));
    }
};

// Three doubles and a side in, one double out.
template <double (*kernel)(double, double, double, int), class Side = IsCallInput>
struct ThreeAndSide {
    static constexpr int nin = 4;
    static constexpr int nout = 1;
    static void element(char* const* p) {
        store(p[4],
              kernel(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]), Side::side(p[3])));
    }
};

// Five doubles and a side in, the five sensitivities out.
template <Greeks (*kernel)(double, double, double, double, double, int), class Side = IsCallInput>
struct FiveAndSideToGreeks {
    static constexpr int nin = 6;
    static constexpr int nout = 5;
    static void element(char* const* p) {
        const Greeks g = kernel(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                                load<double>(p[3]), load<double>(p[4]), Side::side(p[5]));
        store(p[6], g.delta);
        store(p[7], g.gamma);
        store(p[8], g.vega);
        store(p[9], g.dF);
        store(p[10], g.dD);
    }
};

// Element i of argument k is at args[k] + i * steps[k] bytes, for i in [0, n).
// Touches no Python object, so it runs without the GIL.
template <class Adapter>
void strided_loop(char* const* args, npy_intp_t n, const npy_intp_t* steps) {
    constexpr int nargs = Adapter::nin + Adapter::nout;
    parallel_for(n, [args, steps](std::ptrdiff_t begin, std::ptrdiff_t end) {
        char* p[nargs];
        for (int k = 0; k < nargs; ++k) {
            p[k] = args[k] + begin * steps[k];
        }
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            Adapter::element(p);
            for (int k = 0; k < nargs; ++k) {
                p[k] += steps[k];
            }
        }
    });
}

// The NumPy inner loop of the adapter.
template <class Adapter>
void loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps, void*) {
    strided_loop<Adapter>(args, dimensions[0], steps);
    std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace velliq::ufunc
