#include "module/enum_class.hpp"

#include <cstdint>
#include <optional>

#include "module/arguments.hpp"

namespace velkor::py {
namespace {

// Returns the comparison result as a new reference to True/False.
PyObject* equality_result(bool equal, int op) {
    if (op == Py_EQ) return PyBool_FromLong(equal);
    return PyBool_FromLong(!equal);
}

// The other operand as a signed 64-bit integer, as PyLong_AsLong converts it
// on LP64 (ints, bools and anything with __index__); nothing when it does not
// convert, an int out of range included.
std::optional<std::int64_t> as_int64(PyObject* other) {
    long long value = PyLong_AsLongLong(other);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

}  // namespace

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(enum_value(self)); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
    const bool equality = op == Py_EQ || op == Py_NE;
    if (is_instance(other, Py_TYPE(self))) {
        if (!equality) Py_RETURN_NOTIMPLEMENTED;
        return equality_result(enum_value(self) == enum_value(other), op);
    }
    // The conversion comes before the operator is considered: an __index__
    // of `other` runs, and its failure is swallowed, for ordering too.
    std::optional<std::int64_t> number = as_int64(other);
    if (!number || !equality) Py_RETURN_NOTIMPLEMENTED;
    return equality_result(*number == std::int64_t{enum_value(self)}, op);
}

bool read_enum_argument(PyObject* object, const char* parameter, LazyClass& type, EnumValue& out) {
    SharedHold hold;  // only for the read
    const EnumValue* value = hold_instance<EnumValue>(object, parameter, type, hold);
    if (value == nullptr) return false;
    out = *value;
    return true;
}

}  // namespace velkor::py
