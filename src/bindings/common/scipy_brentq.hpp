// SciPy's compiled brentq, bound from the table scipy.optimize.cython_optimize
// exports. Each extension module binds its own copy of velliq::brentq.
#pragma once

#include <Python.h>

namespace velliq {

// Binds velliq::brentq; false with ImportError, TypeError or the import's own
// error set.
bool bind_brentq();

}  // namespace velliq
