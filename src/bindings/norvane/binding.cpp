#include "binding.hpp"

#include <cstring>

#include "common/pyref.hpp"

namespace velliq {

namespace {

PyObject* call_flag = nullptr;  // the interned "c", alive for the process

void raise_count_error(const Signature& sig, bool too_many, Py_ssize_t given) {
    const bool exact = sig.required == sig.total;
    const char* qualifier = exact ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = (exact || !too_many) ? sig.required : sig.total;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, qualifier, expected, expected == 1 ? "" : "s", given);
}

// Index in [first, last) of the parameter named `key`, -1 if none, -2 on an
// error from a str subclass's __eq__. Identity first, then content.
int find_parameter(const Signature& sig, int first, int last, PyObject* key) {
    for (int i = first; i < last; ++i) {
        if (sig.names[i] == key) {
            return i;
        }
    }
    const bool exact = PyUnicode_CheckExact(key);
    for (int i = first; i < last; ++i) {
        if (exact) {
            if (exact_str_equal(key, sig.names[i])) {
                return i;
            }
            continue;
        }
        const int eq = PyObject_RichCompareBool(key, sig.names[i], Py_EQ);
        if (eq < 0) {
            return -2;
        }
        if (eq) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool exact_str_equal(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

bool bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** bound) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > sig.total || (nkw == 0 && nargs < sig.required)) {
        raise_count_error(sig, nargs > sig.total, nargs);
        return false;
    }
    for (int i = 0; i < sig.total; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        int index = find_parameter(sig, static_cast<int>(nargs), sig.total, key);
        if (index >= 0) {
            bound[index] = args[nargs + k];
            continue;
        }
        if (index == -1) {
            index = find_parameter(sig, 0, static_cast<int>(nargs), key);
        }
        if (index == -2) {
            return false;
        }
        PyErr_Format(PyExc_TypeError,
                     index >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                : "%s() got an unexpected keyword argument '%U'",
                     sig.name, key);
        return false;
    }

    for (int i = static_cast<int>(nargs); i < sig.required; ++i) {
        if (!bound[i]) {
            raise_count_error(sig, false, i);
            return false;
        }
    }
    return true;
}

bool init_flag_rule() {
    if (call_flag == nullptr) {  // kept when start-up runs again after a failed import
        call_flag = PyUnicode_InternFromString("c");
    }
    return call_flag != nullptr;
}

bool flag_side(PyObject* flag, int* side) {
    bool is_call;
    if (flag == call_flag) {
        is_call = true;
    } else if (PyUnicode_CheckExact(flag)) {
        is_call = exact_str_equal(flag, call_flag);
    } else if (flag == Py_None) {
        is_call = false;
    } else {
        PyRef result = PyRef::steal(PyObject_RichCompare(flag, call_flag, Py_EQ));
        if (!result) {
            return false;
        }
        int truth;
        if (result.get() == Py_True || result.get() == Py_False) {
            truth = result.get() == Py_True;
        } else if ((truth = PyObject_IsTrue(result.get())) < 0) {
            return false;
        }
        is_call = truth != 0;
    }
    *side = is_call ? 1 : -1;
    return true;
}

}  // namespace velliq
