#define VELKOR_NUMPY_API_OWNER
#include "module/numpy_api.hpp"

#include <string>

#include "error/internal_failure.hpp"
#include "module/python_errors.hpp"
#include "module/pyref.hpp"

namespace velkor::py {
namespace {

// NumPy 2 moved its core package from numpy.core to numpy._core.
const char* core_package_name() {
    static const char* cached = nullptr;
    if (cached != nullptr) return cached;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = version ? Ref::steal(PyImport_ImportModule("numpy.lib")) : Ref();
    Ref parse = lib ? Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion")) : Ref();
    Ref parsed = parse ? call_one(parse.get(), version.get()) : Ref();
    Ref major = parsed ? Ref::steal(PyObject_GetAttrString(parsed.get(), "major")) : Ref();
    if (!major) return nullptr;
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "NumPy major version out of range");
        return nullptr;
    }
    cached = value < 2 ? "numpy.core" : "numpy._core";
    return cached;
}

// Returns the table, or null with a Python error set.
void** load_table() {
    const char* core = core_package_name();
    if (core == nullptr) return nullptr;
    std::string module_name = std::string(core) + ".multiarray";
    Ref multiarray = Ref::steal(PyImport_ImportModule(module_name.c_str()));
    if (!multiarray) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    if (table == nullptr) return nullptr;
    capsule.release();  // the table lives inside it: keep it for the process
    return table;
}

}  // namespace

void ensure_numpy_api() {
    if (PyArray_API != nullptr) return;
    void** table = load_table();
    if (table == nullptr) {
        internal_failure("Failed to access NumPy array API capsule: " + take_error_text());
    }
    PyArray_API = table;
    // Version-dependent accessors in NumPy's headers consult this.
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

}  // namespace velkor::py
