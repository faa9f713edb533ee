#pragma once
// Binding Python arguments to a callable's parameters, and the conversion
// rules every function and constructor shares (with their exact messages).
#include <cstdint>
#include <initializer_list>
#include <span>

#include "module/python.hpp"

namespace velkor::py {

// Every parameter may be given by position or by keyword; the first
// `required` ones must be given.
struct Signature {
    const char* name;  // as messages show it: "encode_srgb()", "ZoneParams.__new__()"
    std::span<const char* const> parameters;
    std::size_t required;
};

// Fills values[i] (borrowed, null when absent) for each parameter.  On a
// binding error raises TypeError with the generic message and returns false.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** values);
bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** values);

// The argument-error rule: a pending exception of exactly TypeError becomes
// TypeError("argument '{parameter}': " + str(e)) keeping e's cause; any other
// pending exception is left as it is.
void prefix_argument_error(const char* parameter);

// The instance rule's TypeError, already prefixed with the parameter name.
void raise_not_instance(const char* parameter, PyObject* object, const char* expected);

// The float rule: PyFloat_AsDouble, then rounding to single precision.
bool to_float(PyObject* object, const char* parameter, float& out);

// PyLong_AsLong, with a failure passed through the argument-error rule.
bool to_int64(PyObject* object, const char* parameter, std::int64_t& out);

// Raises OverflowError for an integer outside a narrower native type.
void raise_out_of_range();

// Round to nearest single precision; finite values beyond its range become
// infinities (a plain cast would be undefined behaviour there).
float narrow_to_float(double value);

}  // namespace velkor::py
