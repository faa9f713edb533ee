// ZoneParams: the immutable per-zone offsets that zone_system takes.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "error/internal_failure.hpp"
#include "module/python_errors.hpp"
#include "module/arguments.hpp"
#include "module/float_repr.hpp"
#include "module/pyref.hpp"
#include "module/registry.hpp"
#include "tone/zone_offsets.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"offsets"};
constexpr Signature kSignature{"ZoneParams.__new__()", kParameters, 1};

// One dictionary entry as a (zone, offset) pair: the key first, then the
// value; a failure is left pending under the argument-error rule.
bool convert_entry(PyObject* key, PyObject* value, ZoneOffset& out) {
    std::int64_t zone = 0;
    if (!to_int64(key, "offsets", zone)) return false;
    if (zone < std::numeric_limits<std::int32_t>::min() || zone > std::numeric_limits<std::int32_t>::max()) {
        raise_out_of_range();
        return false;
    }
    out.zone = static_cast<std::int32_t>(zone);
    return to_float(value, "offsets", out.offset);
}

// Walks the dictionary's own storage, so a subclass's items() or keys() is
// never consulted.  A key's __index__ or a value's __float__ may run Python
// code that changes the dictionary under us: that is refused rather than
// read half-way.
bool read_offsets(PyObject* dict, std::vector<ZoneOffset>& pairs) {
    const Py_ssize_t initial = PyDict_Size(dict);
    pairs.reserve(static_cast<std::size_t>(initial));
    Py_ssize_t position = 0;
    Py_ssize_t visited = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_Size(dict) != initial) internal_failure("dictionary changed size during iteration");
        // Same size but more entries than at the start: keys were swapped.
        if (visited > initial) internal_failure("dictionary keys changed during iteration");
        if (!PyDict_Next(dict, &position, &key, &value)) return true;
        ++visited;
        // The conversions may drop the dictionary's own references.
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        ZoneOffset pair{};
        if (!convert_entry(held_key.get(), held_value.get(), pair)) return false;
        pairs.push_back(pair);
    }
}

PyObject* zone_params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* values[1];
        if (!bind_tuple_dict(kSignature, args, kwargs, values)) return nullptr;
        PyObject* offsets = values[0];
        if (!PyDict_Check(offsets)) {
            raise_not_instance("offsets", offsets, "dict");
            return nullptr;
        }
        std::vector<ZoneOffset> pairs;
        if (!read_offsets(offsets, pairs)) return nullptr;
        return new_instance(type, ZoneOffsets::from_pairs(std::move(pairs)));
    });
}

// "ZoneParams({3: -0.3, 5: 0.5})": sorted by zone, the map's own order.
PyObject* zone_params_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        std::string text = "ZoneParams({";
        const char* separator = "";
        for (const ZoneOffset& entry : instance_of<ZoneOffsets>(self)->value.entries()) {
            text += separator;
            text += std::to_string(entry.zone);
            text += ": ";
            text += shortest_positional(entry.offset);
            separator = ", ";
        }
        text += "})";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char kDoc[] =
    "ZoneParams(offsets)\n"
    "--\n"
    "\n"
    "Zone System tone offsets.\n"
    "\n"
    "Maps zone index (0..=10) to a stop offset in \xe2\x88\x92" "3..+3. Zones not\n"
    "present in the map are treated as having a 0-stop offset.\n"
    "\n"
    "```python\n"
    "# Lift Zone V by half a stop, deepen Zone III by 0.3 stops\n"
    "params = velkor_core.ZoneParams({5: 0.5, 3: -0.3})\n"
    "```";

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(zone_params_new)},
    {Py_tp_repr, reinterpret_cast<void*>(zone_params_repr)},
};

const ClassSpec kSpec{
    .name = "ZoneParams",
    .qualified = "builtins.ZoneParams",
    .doc = kDoc,
    .basicsize = sizeof(Instance<ZoneOffsets>),
    .extra_flags = 0,
    .slots = kSlots,
    .getset = nullptr,
    .attributes = {},
    .dealloc = dealloc_instance<ZoneOffsets>,
};

}  // namespace

LazyClass zone_params_class(kSpec);

}  // namespace velkor::py
