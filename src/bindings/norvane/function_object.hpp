// The function objects of velliq.norvane: a small callable type called by
// vectorcall, with the attributes users expect of a Python function
// (__name__, __qualname__, __module__, __doc__, __defaults__, __globals__,
// __text_signature__, __signature__) and pickling by reference.
#pragma once

#include <Python.h>

#include "binding.hpp"

namespace velliq {

struct FunctionDef {
    const char* name;
    const char* doc;
    int required;
    int total;
    const char* params[kMaxParams];
    vectorcallfunc vectorcall;
};

struct NorvaneFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    Signature signature;
    PyObject* param_names[kMaxParams];
    PyObject* name;
    PyObject* module;  // module name
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* globals;   // the module dictionary
    PyObject* codes;     // line -> code object of this function's traceback entries
};

bool ready_function_type();

// A new function object for `def`, or null with an exception set.
PyObject* new_function(const FunctionDef& def, PyObject* globals, PyObject* module_name,
                       PyObject* defaults);

inline const Signature& signature_of(PyObject* self) {
    return reinterpret_cast<NorvaneFunction*>(self)->signature;
}

}  // namespace velliq
