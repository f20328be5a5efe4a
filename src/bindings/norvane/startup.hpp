// The one-time parts of velliq.norvane's start-up that do not depend on its
// entry points: the module object's creation, the interpreter and version
// checks and NumPy's C API.
#pragma once

#include <Python.h>

namespace velliq {

inline constexpr const char* kModuleName = "velliq.norvane";

// The module object for `spec`: `existing` again once exec has begun, or a
// new one. Refuses an interpreter other than the first to create it, as all
// module state is process-wide.
PyObject* module_create(PyObject* spec, PyModuleDef* def, PyObject* existing);

// A RuntimeWarning when the running interpreter's minor version is not the
// one the module was compiled for; false if the warning was raised as an error.
bool warn_on_version_mismatch();

bool import_numpy_c_api();

}  // namespace velliq
