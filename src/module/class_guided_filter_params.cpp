// GuidedFilterParams: the mutable radius and eps that local_contrast takes.
#include <cstdint>
#include <limits>
#include <string>

#include "module/python_errors.hpp"
#include "local_contrast/guided_filter_params.hpp"
#include "module/arguments.hpp"
#include "module/float_repr.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

using Params = GuidedFilterParams;

constexpr const char* kParameters[] = {"radius", "eps"};
constexpr Signature kSignature{"GuidedFilterParams.__new__()", kParameters, 2};

// An int (or an object with __index__) from 0 to 2**32 - 1.
bool to_radius(PyObject* object, std::uint32_t& out) {
    std::int64_t value = 0;
    if (!to_int64(object, "radius", value)) return false;
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
        raise_out_of_range();
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

PyObject* guided_filter_params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* values[2];
        if (!bind_tuple_dict(kSignature, args, kwargs, values)) return nullptr;
        Params params;
        if (!to_radius(values[0], params.radius)) return nullptr;
        if (!to_float(values[1], "eps", params.eps)) return nullptr;
        return new_instance(type, params);
    });
}

// A copy of the values, read under a shared hold: a getter refuses an
// instance that a setter holds exclusively.
bool read_params(PyObject* self, Params& out) {
    SharedHold hold;
    if (!hold.acquire(instance_of<Params>(self)->borrow)) return false;
    out = instance_of<Params>(self)->value;
    return true;
}

// Stores a converted value, unless a local_contrast call (or anything else)
// holds the instance.
template <class Store>
int store_params(PyObject* self, Store store) {
    ExclusiveHold hold;
    if (!hold.acquire(instance_of<Params>(self)->borrow)) return -1;
    store(instance_of<Params>(self)->value);
    return 0;
}

bool refuse_delete(PyObject* value) {
    if (value != nullptr) return false;
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return true;
}

PyObject* get_radius(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Params params;
        if (!read_params(self, params)) return nullptr;
        return PyLong_FromUnsignedLong(params.radius);
    });
}

int set_radius(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (refuse_delete(value)) return -1;
        // Converted before the hold is taken: __index__ may run Python code.
        std::uint32_t radius = 0;
        if (!to_radius(value, radius)) return -1;
        return store_params(self, [&](Params& params) { params.radius = radius; });
    });
}

PyObject* get_eps(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Params params;
        if (!read_params(self, params)) return nullptr;
        return PyFloat_FromDouble(params.eps);
    });
}

int set_eps(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (refuse_delete(value)) return -1;
        float eps = 0.0f;
        if (!to_float(value, "eps", eps)) return -1;
        return store_params(self, [&](Params& params) { params.eps = eps; });
    });
}

// "GuidedFilterParams(radius=8, eps=0.01)"
PyObject* guided_filter_params_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Params params;
        if (!read_params(self, params)) return nullptr;
        const std::string text = "GuidedFilterParams(radius=" + std::to_string(params.radius) +
                                 ", eps=" + shortest_positional(params.eps) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char kRadiusDoc[] =
    "Filter radius in pixels. The window is `(2r+1) \xc3\x97 (2r+1)`.";

constexpr const char kEpsDoc[] =
    "Regularisation term \xce\xb5. Controls the degree of smoothing.\n"
    "Larger values \xe2\x86\x92 more smoothing, less edge preservation.";

PyGetSetDef kProperties[] = {
    {"radius", get_radius, set_radius, kRadiusDoc, nullptr},
    {"eps", get_eps, set_eps, kEpsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "GuidedFilterParams(radius, eps)\n"
    "--\n"
    "\n"
    "Parameters for the guided filter.\n"
    "\n"
    "```python\n"
    "params = velkor_core.GuidedFilterParams(radius=8, eps=0.01)\n"
    "```";

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guided_filter_params_new)},
    {Py_tp_repr, reinterpret_cast<void*>(guided_filter_params_repr)},
};

const ClassSpec kSpec{
    .name = "GuidedFilterParams",
    .qualified = "builtins.GuidedFilterParams",
    .doc = kDoc,
    .basicsize = sizeof(Instance<Params>),
    .extra_flags = 0,
    .slots = kSlots,
    .getset = kProperties,
    .attributes = {},
    .dealloc = dealloc_instance<Params>,
};

}  // namespace

LazyClass guided_filter_params_class(kSpec);

}  // namespace velkor::py
