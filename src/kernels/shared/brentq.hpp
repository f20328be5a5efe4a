// SciPy's brentq as exported by scipy.optimize.cython_optimize._zeros: its
// callback type, full-output record and function pointer, bound once at
// module start-up before any kernel that calls it can run.
#pragma once

namespace velliq {

using brentq_callback_t = double (*)(double, void*);

struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

using brentq_t = double (*)(brentq_callback_t f, double xa, double xb, void* args, double xtol,
                            double rtol, int iter, zeros_full_output* full_output);

inline brentq_t brentq = nullptr;

}  // namespace velliq
