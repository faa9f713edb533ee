#pragma once
// What the two enumeration classes share: instances holding one 8-bit member
// value, a single instance per member for the life of the process, and the
// int conversion and comparisons of their members.
#include <cstdint>

#include "module/class_types.hpp"
#include "module/python.hpp"

namespace velkor::py {

using EnumValue = std::uint8_t;
using EnumInstance = Instance<EnumValue>;

inline EnumValue enum_value(PyObject* member) { return instance_of<EnumValue>(member)->value; }

// The member of `type` with `Value`, created on the first request and kept
// in this slot for the rest of the process; a new reference to it, or null
// with an error set.  Only called while the class's type object is being
// created, which happens once (under a lock, with the interpreter lock
// held).  A member left over from a creation that failed half-way belongs
// to a type that was thrown away, so it is replaced.
template <class Tag, EnumValue Value>
PyObject* enum_member(PyTypeObject* type) {
    static PyObject* slot = nullptr;
    if (slot == nullptr || Py_TYPE(slot) != type) {
        PyObject* made = new_instance<EnumValue>(type, Value);
        if (made == nullptr) return nullptr;
        Py_XDECREF(slot);
        slot = made;
    }
    Py_INCREF(slot);
    return slot;
}

// Py_nb_int: the member's value as a Python int.
PyObject* enum_int(PyObject* self);

// Py_tp_richcompare: == and != against a member of the same class (by
// value) or against anything PyLong_AsLong converts; everything else,
// ordering included, is NotImplemented, so Python falls back to identity
// for == and != and raises TypeError for ordering.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op);

// Reads the member value of `object`, which must be an instance of `type`
// (the instance rule for `parameter` otherwise).  The member is held shared
// only for the read.  False with an error set on failure.
bool read_enum_argument(PyObject* object, const char* parameter, LazyClass& type, EnumValue& out);

template <class Enum>
bool read_enum_argument(PyObject* object, const char* parameter, LazyClass& type, Enum& out) {
    EnumValue value = 0;
    if (!read_enum_argument(object, parameter, type, value)) return false;
    out = static_cast<Enum>(value);
    return true;
}

}  // namespace velkor::py
