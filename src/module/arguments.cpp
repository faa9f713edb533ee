#include "module/arguments.hpp"

#include <algorithm>
#include <cmath>
#include <vector>
#include <cstring>
#include <string>
#include <string_view>

#include "module/pyref.hpp"

namespace velkor::py {
namespace {

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::size_t n = signature.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == n) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     signature.name, n, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     signature.name, signature.required, n, given, verb);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

bool check_required(const Signature& signature, PyObject** values) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (values[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.name,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
}

// Places one keyword argument; false with TypeError set when it clashes or
// names no parameter.
bool place_keyword(const Signature& signature, PyObject* keyword, PyObject* value, PyObject** values) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length) : nullptr;
    if (utf8 == nullptr) PyErr_Clear();  // not encodable: it can match no parameter
    for (std::size_t i = 0; utf8 != nullptr && i < signature.parameters.size(); ++i) {
        if (std::string_view(utf8, static_cast<std::size_t>(length)) != signature.parameters[i]) continue;
        if (values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.name,
                         signature.parameters[i]);
            return false;
        }
        values[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.name, keyword);
    return false;
}

bool place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** values) {
    if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    return true;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** values) {
    std::fill_n(values, signature.parameters.size(), nullptr);
    if (!place_positional(signature, args, nargs, values)) return false;
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!place_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], values)) return false;
    }
    return check_required(signature, values);
}

bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** values) {
    std::fill_n(values, signature.parameters.size(), nullptr);
    Py_ssize_t nargs = PyTuple_Size(args);
    if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GetItem(args, i);
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t position = 0; kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value);) {
        if (!place_keyword(signature, keyword, value, values)) return false;
    }
    return check_required(signature, values);
}

void prefix_argument_error(const char* parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original = Ref::steal(raised);
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    if (!message) return;
    Ref replacement = call_one(PyExc_TypeError, message.get());
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

void raise_not_instance(const char* parameter, PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", parameter, expected);
        return;
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) {
        PyErr_Clear();
        qualname = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
        if (!qualname) return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", parameter,
                 qualname.get(), expected);
}

float narrow_to_float(double value) {
    // Halfway between FLT_MAX and 2^128: from here on, rounding gives infinity.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (std::fabs(value) >= kOverflow && std::isfinite(value)) {
        return std::copysign(INFINITY, static_cast<float>(std::copysign(1.0, value)));
    }
    return static_cast<float>(value);
}

bool to_float(PyObject* object, const char* parameter, float& out) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(parameter);
        return false;
    }
    out = narrow_to_float(value);
    return true;
}

bool to_int64(PyObject* object, const char* parameter, std::int64_t& out) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        prefix_argument_error(parameter);
        return false;
    }
    out = value;
    return true;
}

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace velkor::py
