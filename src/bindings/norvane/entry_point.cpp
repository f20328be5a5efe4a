#include "entry_point.hpp"

#include "function_object.hpp"
#include "traceback.hpp"

namespace velliq {

bool Call::bind(PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return bind_arguments(signature_of(self_), args, nargsf, kwnames, bound) ||
           fail_at_definition();
}

bool Call::fail_at_definition() {
    raise_from(self_, definition_line_);
    return false;
}

bool Call::side(int i, int* out, std::source_location where) {
    return flag_side(bound[i], out) || fail(where);
}

bool Call::fail(std::source_location where) {
    raise_from(self_, static_cast<int>(where.line()));
    return false;
}

PyObject* Call::float_result(double value, std::source_location where) {
    PyObject* result = PyFloat_FromDouble(value);
    return result ? result : error(where);
}

}  // namespace velliq
