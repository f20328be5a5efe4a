// The shape shared by every entry point of velliq.norvane: bind the arguments,
// convert them into the entry point's own plain struct of typed fields, then
// run its typed body, which returns the Python result.
//
// An entry point is a struct with
//   static constexpr std::source_location definition;  // where it is defined
//   struct Args { ... };                                 // converted arguments
//   static bool convert(Call& call, Args* args);
//   static PyObject* run(Call& call, Args& args);
// and entry_point<Entry> is its vectorcall function. Errors of binding and of
// numeric conversion carry the line of `definition`; errors raised later carry
// the line of the statement that failed (Call's std::source_location defaults).
#pragma once

#include <Python.h>

#include <source_location>

#include "binding.hpp"

namespace velliq {

class Call {
public:
    Call(PyObject* self, int definition_line) noexcept
        : self_(self), definition_line_(definition_line) {}

    // Borrowed references to the arguments, null for an optional parameter
    // left unbound; filled by bind().
    PyObject* bound[kMaxParams];

    bool bind(PyObject* const* args, size_t nargsf, PyObject* kwnames);

    // Argument i by the numeric conversion rule; an unbound optional
    // parameter leaves *out (its default) as it is.
    bool number(int i, double* out) {
        return !bound[i] || as_double(bound[i], out) || fail_at_definition();
    }

    // The first arguments, in order, each by the numeric conversion rule.
    template <class... Double>
    bool numbers(Double&... out) {
        int i = 0;
        return (number(i++, &out) && ...);
    }

    // Argument i by the flag rule.
    bool side(int i, int* out, std::source_location where = std::source_location::current());

    // Adds this function's traceback entry to the pending exception.
    bool fail(std::source_location where = std::source_location::current());
    PyObject* error(std::source_location where = std::source_location::current()) {
        fail(where);
        return nullptr;
    }

    PyObject* float_result(double value,
                           std::source_location where = std::source_location::current());

private:
    bool fail_at_definition();

    PyObject* self_;
    int definition_line_;
};

template <class Entry>
PyObject* entry_point(PyObject* self, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
    Call call(self, static_cast<int>(Entry::definition.line()));
    typename Entry::Args converted{};
    if (!call.bind(args, nargsf, kwnames) || !Entry::convert(call, &converted)) {
        return nullptr;
    }
    return Entry::run(call, converted);
}

}  // namespace velliq
