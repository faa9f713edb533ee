// The module `velkor_core`: its definition, the execution step that fills a
// new module object, and the one exported symbol.
#include <string>
#include <vector>

#include "error/internal_failure.hpp"
#include "module/python_errors.hpp"
#include "module/pyref.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

const std::vector<LazyClass*>& registered_classes() {
    static const std::vector<LazyClass*> classes = {
        &luminance_standard_class,
        &color_filter_class,
        &zone_params_class,
        &guided_filter_params_class,
    };
    return classes;
}

const std::vector<PyMethodDef*>& registered_functions() {
    static const std::vector<PyMethodDef*> functions = {
        &luminance_bw_function,
        &channel_mixer_bw_function,
        &color_filter_bw_function,
        &zone_system_function,
        &local_contrast_function,
        &encode_srgb_function,
    };
    return functions;
}

// `__all__` as a list, created when missing.  Null with an error set.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Ref();
        return all;
    }
    if (!PyList_Check(all.get())) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(all.get())));
        if (!qualname) return Ref();
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'list'", qualname.get());
        return Ref();
    }
    return all;
}

// Appends `name` to `__all__`, then sets the attribute.
bool add(PyObject* module, PyObject* name, PyObject* object) {
    Ref all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        internal_failure("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(module, name, object) == 0;
}

bool add_class(PyObject* module, LazyClass& lazy) {
    PyTypeObject* type = lazy.get();
    if (type == nullptr) return false;
    Ref name = Ref::steal(PyUnicode_FromString(lazy.spec().name));
    return name && add(module, name.get(), reinterpret_cast<PyObject*>(type));
}

// A function for velkor's own front end: an attribute, not in `__all__`.
bool add_private_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    return function && PyObject_SetAttrString(module, definition->ml_name, function.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
        return false;
    }
    return add(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        if (module == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return -1;
        }
        if (!PyModule_Check(module)) {
            Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(module)));
            if (qualname) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", qualname.get());
            return -1;
        }
        for (LazyClass* lazy : registered_classes()) {
            if (!add_class(module, *lazy)) return -1;
        }
        for (PyMethodDef* definition : registered_functions()) {
            if (!add_function(module, definition)) return -1;
        }
        if (!add_private_function(module, &local_contrast_piece_function)) return -1;
        return 0;
    });
}

constexpr const char kModuleDoc[] =
    "The `velkor_core` Python extension module.\n"
    "\n"
    "Exposes the numerical kernels as Python-callable functions. All\n"
    "arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`.";

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Classes and the worker pool are process-wide, so sharing them between
    // isolated interpreters would be unsound: refuse to load there.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velkor_core",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velkor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velkor_core() {
    return PyModuleDef_Init(&velkor::py::module_definition);
}
