#pragma once
// The enumeration classes, made from a table each (class_enums.cpp): instances
// holding one 8-bit member value, a single instance per member for the life
// of the process, the repr "Class.Member", and the int conversion and
// comparisons of their members.
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "module/class_types.hpp"
#include "module/python.hpp"
#include "module/python_errors.hpp"

namespace velkor::py {

using EnumValue = std::uint8_t;
using EnumInstance = Instance<EnumValue>;

inline EnumValue enum_value(PyObject* member) { return instance_of<EnumValue>(member)->value; }

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

// What tells one enumeration class from another.
template <std::size_t Count>
struct EnumTable {
    const char* name;       // "ColorFilter"
    const char* qualified;  // "builtins.ColorFilter"
    const char* doc;
    std::array<const char*, Count> members;  // indexed by value, in declaration order
};

namespace enum_detail {

// The member with `Value`, created on the first request and kept in this
// slot for the rest of the process; a new reference to it, or null with an
// error set.  Only called while the class's type object is being created,
// with the interpreter lock held.  A member left over from a creation that
// failed half-way belongs to a type that was thrown away, so it is replaced.
template <const auto& Table, EnumValue Value>
PyObject* member(PyTypeObject* type) {
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

template <const auto& Table>
PyObject* repr(PyObject* self) {
    return guarded([&] { return PyUnicode_FromFormat("%s.%s", Table.name, Table.members[enum_value(self)]); });
}

template <const auto& Table, std::size_t... Values>
constexpr auto attributes(std::index_sequence<Values...>) {
    return std::array<ClassAttribute, sizeof...(Values)>{
        ClassAttribute{Table.members[Values], member<Table, static_cast<EnumValue>(Values)>}...};
}

template <const auto& Table>
inline constexpr auto kAttributes = attributes<Table>(std::make_index_sequence<Table.members.size()>());

template <const auto& Table>
inline const PyType_Slot kSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr<Table>)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
};

}  // namespace enum_detail

// The description of the enumeration class of `Table`.
template <const auto& Table>
inline const ClassSpec kEnumSpec{
    Table.name,
    Table.qualified,
    Table.doc,
    sizeof(EnumInstance),
    Py_TPFLAGS_DISALLOW_INSTANTIATION,
    enum_detail::kSlots<Table>,
    nullptr,
    enum_detail::kAttributes<Table>,
    dealloc_instance<EnumValue>,
};

}  // namespace velkor::py
