// Traceback entries of velliq.norvane: frames of empty code objects in the file
// "velliq/norvane", put on the pending exception so that a traceback shows
// which entry point, and which line of its source, raised it.
#pragma once

#include <Python.h>

namespace velliq {

// Adds a traceback entry named `funcname` at `line` of the module source, with
// `globals` as the frame's globals, to the pending exception.
void add_traceback(const char* funcname, int line, PyObject* globals);

// Adds the entry "<module>.<name>" of the function object `self` at `line` and
// returns null, for `return raise_from(self, line);` on an error path.
PyObject* raise_from(PyObject* self, int line);

}  // namespace velliq
